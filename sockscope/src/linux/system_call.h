// SPDX-License-Identifier: MIT
// The library's one loop for a system call that a signal may interrupt.
#pragma once

#include <cerrno>

namespace sockscope_detail {

// Makes `call` (a system call returning a negative number on failure) again
// while it fails with EINTR: a signal delivered to the caller's thread must
// not cut a read short or fail a call.
template <typename Call>
auto retrying(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace sockscope_detail
