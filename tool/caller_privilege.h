// SPDX-License-Identifier: MIT
// What the tool's own process may do, for notes that give the cause of
// what it could not read.
#pragma once

namespace sockscope_tool {

// Whether this process holds CAP_SYS_PTRACE (effective), which lets it
// inspect every other user's process: one that refuses it anyway refuses
// for a reason of its own, not for want of that capability.
bool may_inspect_other_users();

// Whether this process holds CAP_SYS_ADMIN (effective), which lets it enter
// every network namespace: one that refuses it anyway (a seccomp profile,
// a namespace owned by a user namespace it has no say in) refuses for a
// reason of its own.
bool may_enter_namespaces();

} // namespace sockscope_tool
