// SPDX-License-Identifier: MIT
#include "row_filter.h"

#include "utf16.h"

namespace sockscope_tool {

bool is_shown(const SocketRow& row, const Options& options) {
    if (options.listening && row.protocol == Protocol::tcp && row.state != "LISTEN") return false;
    if (options.port && row.local_port != *options.port && row.remote_port != *options.port) return false;
    if (options.pid && row.pid != *options.pid) return false;
    if (options.name && (!row.name || utf8_of(*row.name) != *options.name)) return false;
    return true;
}

bool owners_were_hidden(const std::vector<SocketRow>& rows) {
    for (const auto& row : rows)
        if (row.pid == 0 && row.state != "TIMEWAIT" && row.state != "RCVD") return true;
    return false;
}

} // namespace sockscope_tool
