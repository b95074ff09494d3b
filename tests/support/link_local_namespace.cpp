// SPDX-License-Identifier: MIT
#include "link_local_namespace.h"

#include <cstdlib>
#include <sched.h>

namespace sockscope_test {

std::string enter_namespace_with_two_links() {
    if (unshare(CLONE_NEWNET) != 0) return "skip: can't make a network namespace (not root?)";
    const char* const commands =
        "ip link set lo up && ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up &&"
        " ip -6 address add fe80::1/64 dev v0 nodad && ip -6 address add fe80::1/64 dev v1 nodad";
    if (std::system((std::string("(") + commands + ") >/dev/null 2>&1").c_str()) != 0)
        return "skip: ip could not make a veth pair with fe80::1 on both ends";
    return "";
}

} // namespace sockscope_test
