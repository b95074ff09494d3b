// SPDX-License-Identifier: MIT
// /proc: its root (the real one, or a prepared tree in tests), the paths
// of /proc/<id>/..., and handles to one process. Processes end at any
// moment and other users' descriptors are closed to us; what such a
// failure means is said in core/result.h.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

class ProcRoot {
public:
    // Opens the directory. When it can't, the failure is kept, for the
    // first user that needs /proc to fail with: a call that turns out not
    // to need it doesn't fail for want of it.
    explicit ProcRoot(const char* path);
    ~ProcRoot(); // closes it: out of line, so that callers make no system call of their own
    ProcRoot(const ProcRoot&) = delete;
    ProcRoot& operator=(const ProcRoot&) = delete;

    // The directory's descriptor, or why it could not be opened.
    Result<int> fd() const {
        if (!fd_.valid()) return Failure{error_};
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

// "<id>" or "<id>/<leaf>", the path of a process's entry relative to the
// root.
class ProcessPath {
public:
    explicit ProcessPath(std::uint32_t id, const char* leaf = nullptr);
    const char* c_str() const { return text_; }

private:
    char text_[64];
};

// Opens /proc/<id> (below an open root) as a handle to that one process:
// whatever is read through it is that process's, and reads fail once it
// has ended, even when a new process has taken its id since.
Result<UniqueFd> open_process(int root, std::uint32_t id);

} // namespace sockscope_detail
