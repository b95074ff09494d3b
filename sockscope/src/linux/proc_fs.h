// SPDX-License-Identifier: MIT
// /proc: its root (the real one, or a prepared tree in tests), the paths
// of /proc/<id>/..., and what the errors of reading a process's entries
// mean. Processes end at any moment and other users' descriptors are
// closed to us; neither is a failure of the call.
#pragma once

#include <cstdint>

#include "core/failure.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

class ProcRoot {
public:
    // Opens the directory. When it can't, the failure is kept and thrown
    // (SystemFailure) by the first use: a call that turns out not to need
    // /proc doesn't fail for want of it.
    explicit ProcRoot(const char* path);
    ~ProcRoot(); // closes it: out of line, so that callers make no system call of their own
    ProcRoot(const ProcRoot&) = delete;
    ProcRoot& operator=(const ProcRoot&) = delete;
    int fd() const {
        if (!fd_.valid()) fail(error_);
        return fd_.get();
    }

    // Whether this /proc numbers processes as the caller's PID namespace
    // does: its "self" names the caller's own id. One made for another
    // namespace (a PID namespace entered without mounting its own /proc,
    // as `unshare -fp` does) has other ids. False when it can't be read.
    bool numbers_as_caller() const noexcept;

private:
    UniqueFd fd_;
    int error_ = 0;
};

// What a failed read below /proc/<id> means. Processes end at any moment,
// other users' descriptors are closed to us, and a process decides what its
// own entries hold (a descriptor of a file whose path is too long to show,
// an executable deep in a tree of folders): whatever goes wrong there
// concerns that one process or descriptor, and leaves it unknown. Only the
// caller's own resources failing (no descriptor left, no memory), which
// would fail the reading of every other process too, fail the call.
enum class Access {
    granted,
    vanished, // the process or descriptor is gone (ENOENT, ESRCH)
    unknown,  // it is there, but this read of it failed (EACCES, EPERM, ENAMETOOLONG, ...)
};

// The meaning of `error`; throws SystemFailure for EMFILE, ENFILE and ENOMEM.
Access access_after(int error);

// "<id>" or "<id>/<leaf>", the path of a process's entry relative to the
// root.
class ProcessPath {
public:
    explicit ProcessPath(std::uint32_t id, const char* leaf = nullptr);
    const char* c_str() const { return text_; }

private:
    char text_[64];
};

// Opens /proc/<id> as a handle to that one process: whatever is read
// through it is that process's, and reads fail once it has ended, even when
// a new process has taken its id since.
Access open_process(const ProcRoot& root, std::uint32_t id, UniqueFd& process);

} // namespace sockscope_detail
