#include "table_pipeline.h"

#include <algorithm>

#include "linux/owner_names.h"
#include "linux/owner_sources.h"
#include "linux/proc_fs.h"
#include "linux/socket_table_source.h"
#include "row_order.h"

namespace sockscope_detail {

OwnedTable read_owned_table(const TableQuery& query, const SystemSources& sources) {
    OwnedTable table;
    table.rows = read_socket_table(query.protocol, query.family, sources);
    if (query.keep != nullptr) std::erase_if(table.rows, [&query](const SocketRow& row) { return !query.keep(row); });

    SocketOwners owners(table.rows);
    if (!owners.all_owned()) { // some row has a socket a process may hold
        const ProcRoot root(sources.proc_root);
        find_socket_owners(owners, query.last_owner, root, sources);
        owners.apply(table.rows);
        if (query.with_names) table.names = read_owner_names(owners, root);
    }
    sort_rows(table.rows);
    return table;
}

} // namespace sockscope_detail
