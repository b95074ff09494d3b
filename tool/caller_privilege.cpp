// SPDX-License-Identifier: MIT
#include "caller_privilege.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sockscope_tool {

bool may_inspect_other_users() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    return (sets[CAP_SYS_PTRACE / 32].effective & (1u << (CAP_SYS_PTRACE % 32))) != 0;
}

} // namespace sockscope_tool
