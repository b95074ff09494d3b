// SPDX-License-Identifier: MIT
// How a call fails as a whole. Deep inside a call, whatever the system
// refuses that the answer can't do without (a descriptor, kernel memory,
// /proc itself) throws SystemFailure; the public member catches it at the
// library's edge and answers null or 0 with errno set. A process that ends
// or a descriptor we may not read is not a failure: it only leaves an owner
// unknown.
#pragma once

namespace sockscope_detail {

struct SystemFailure {
    int error; // an errno value
};

[[noreturn]] inline void fail(int error) { throw SystemFailure{error}; }

} // namespace sockscope_detail
