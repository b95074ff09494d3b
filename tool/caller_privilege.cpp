// SPDX-License-Identifier: MIT
#include "caller_privilege.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sockscope_tool {
namespace {

bool has_effective(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    return (sets[capability / 32].effective & (1u << (capability % 32))) != 0;
}

} // namespace

bool may_inspect_other_users() { return has_effective(CAP_SYS_PTRACE); }

bool may_enter_namespaces() { return has_effective(CAP_SYS_ADMIN); }

} // namespace sockscope_tool
