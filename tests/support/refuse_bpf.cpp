// SPDX-License-Identifier: MIT
#include "refuse_bpf.h"

#include <cerrno>
#include <sys/syscall.h>

#include "seccomp_refusal.h"

namespace sockscope_test {

bool refuse_bpf_command(unsigned command) { return refuse_system_call(__NR_bpf, EPERM, command); }

} // namespace sockscope_test
