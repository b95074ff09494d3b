// SPDX-License-Identifier: MIT
#include "row_filter.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sockscope_text/utf16.h>

namespace sockscope_tool {

bool is_shown(const ListedSocket& row, const Options& options) {
    if (options.listening && row.protocol == ListedSocket::Protocol::tcp && row.state != "LISTEN") return false;
    if (options.port && row.local_port != *options.port && row.remote_port != *options.port) return false;
    if (options.pid && row.pid != *options.pid) return false;
    if (options.name && (!row.name || sockscope_text::utf8_of(*row.name) != *options.name)) return false;
    return true;
}

bool may_inspect_every_process() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    return (sets[CAP_SYS_PTRACE / 32].effective & (1u << (CAP_SYS_PTRACE % 32))) != 0;
}

bool owners_were_hidden(const std::vector<ListedSocket>& rows) {
    for (const auto& row : rows)
        if (row.pid == 0 && row.state != "TIMEWAIT" && row.state != "RCVD") return true;
    return false;
}

} // namespace sockscope_tool
