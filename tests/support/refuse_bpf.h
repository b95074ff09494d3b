// SPDX-License-Identifier: MIT
// Makes the kernel refuse one bpf() command, as a sandbox might.
#pragma once

namespace sockscope_test {

// From now on this process's bpf(command, ...) fails with EPERM. Returns
// false when the filter can't be installed.
bool refuse_bpf_command(unsigned command);

} // namespace sockscope_test
