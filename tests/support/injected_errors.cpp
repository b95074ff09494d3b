// SPDX-License-Identifier: MIT
#include "injected_errors.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace sockscope_test {
namespace {

// Written only while no other thread makes the calls (see the header);
// `armed` publishes them to the library's threads started afterwards.
std::atomic<bool> armed{false};
FailingCall failing_call;
std::string failing_folder; // with a trailing '/'
int failing_error = 0;

// The path that `dirfd` and `path` name, as far as the test needs it: the
// descriptor's own path, read from /proc/self/fd, joined with `path`.
std::string path_of(int dirfd, const char* path) {
    if (path != nullptr && path[0] == '/') return path;
    if (dirfd == AT_FDCWD) return {};
    char self[32], target[PATH_MAX];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", dirfd);
    const long length = ::syscall(SYS_readlinkat, AT_FDCWD, self, target, sizeof target);
    if (length <= 0) return {};
    std::string joined(target, static_cast<std::size_t>(length));
    if (path != nullptr && path[0] != '\0') joined.append("/").append(path);
    return joined;
}

bool fails(FailingCall call, int dirfd, const char* path) {
    if (!armed.load(std::memory_order_acquire) || call != failing_call) return false;
    const std::string full = path_of(dirfd, path) + "/";
    if (full.compare(0, failing_folder.size(), failing_folder) != 0) return false;
    errno = failing_error;
    return true;
}

} // namespace

InjectedError::InjectedError(FailingCall call, const std::string& folder, int error) {
    failing_call = call;
    failing_folder = folder + "/";
    failing_error = error;
    armed.store(true, std::memory_order_release);
}

InjectedError::~InjectedError() { armed.store(false, std::memory_order_release); }

const char* call_name(FailingCall call) {
    switch (call) {
    case FailingCall::openat: return "openat";
    case FailingCall::readlinkat: return "readlinkat";
    case FailingCall::read: return "read";
    }
    return "?";
}

} // namespace sockscope_test

using sockscope_test::FailingCall;

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    if (sockscope_test::fails(FailingCall::openat, dirfd, path)) return -1;
    return static_cast<int>(::syscall(SYS_openat, dirfd, path, flags, mode));
}

extern "C" ssize_t readlinkat(int dirfd, const char* path, char* buffer, size_t size) {
    if (sockscope_test::fails(FailingCall::readlinkat, dirfd, path)) return -1;
    return ::syscall(SYS_readlinkat, dirfd, path, buffer, size);
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    if (sockscope_test::fails(FailingCall::read, fd, "")) return -1;
    return ::syscall(SYS_read, fd, buffer, size);
}
