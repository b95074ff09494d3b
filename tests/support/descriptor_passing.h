// SPDX-License-Identifier: MIT
// Passing a descriptor to another process over a unix socket (SCM_RIGHTS).
#pragma once

namespace sockscope_test {

// Sends descriptor `fd` over the unix socket `channel`.
bool send_descriptor(int channel, int fd);

// Receives a descriptor over `channel`; -1 when none came.
int receive_descriptor(int channel);

} // namespace sockscope_test
