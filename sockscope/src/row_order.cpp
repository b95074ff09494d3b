#include "row_order.h"

#include <algorithm>
#include <tuple>

#include "conversions.h"

namespace sockscope_detail {

void sort_rows(std::vector<SocketRow>& rows) {
    const auto key = [](const SocketRow& row) {
        return std::make_tuple(std::cref(row.local_address), port_to_host_order(row.local_port),
                               std::cref(row.remote_address), port_to_host_order(row.remote_port), row.owner,
                               row.inode);
    };
    std::sort(rows.begin(), rows.end(), [&key](const SocketRow& a, const SocketRow& b) { return key(a) < key(b); });
}

} // namespace sockscope_detail
