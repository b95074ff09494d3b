// SPDX-License-Identifier: MIT
// Makes one kind of file system call fail with a chosen errno for every
// path below one folder, as a process's /proc entries could fail: for tests
// of what one process's oddities do to a call. The program that links this
// replaces the C library's openat, readlinkat and read with
// versions that consult it (they behave as the originals while nothing is
// injected).
#pragma once

#include <string>

namespace sockscope_test {

enum class FailingCall { openat, readlinkat, read };

// Set while it lives; make and destroy it while no other thread of the
// program makes those calls.
class InjectedError {
public:
    InjectedError(FailingCall call, const std::string& folder, int error);
    ~InjectedError();
    InjectedError(const InjectedError&) = delete;
    InjectedError& operator=(const InjectedError&) = delete;
};

const char* call_name(FailingCall call);

} // namespace sockscope_test
