// SPDX-License-Identifier: MIT
#include "seccomp_refusal.h"

#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

namespace sockscope_test {

bool refuse_system_call(long number, int error, std::optional<unsigned> first_argument) {
    const auto refused = static_cast<unsigned>(SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA));
    // Another architecture's calls, and every other call, pass.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first_argument.value_or(0), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, refused),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    // Without an argument to match, the argument's test always passes on.
    if (!first_argument) filter[6] = BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0);
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace sockscope_test
