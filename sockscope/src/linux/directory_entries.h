// SPDX-License-Identifier: MIT
// Walking a directory of /proc with getdents64, in the order the kernel
// lists it. Entries come in batches into a buffer on the heap (never on the
// caller's stack, which may be a small thread's), with no allocation per
// entry. A directory ends only when getdents64 returns 0: a batch cut short
// by a pending signal is not its end.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/result.h"

namespace sockscope_detail {

class DirectoryBuffer {
public:
    DirectoryBuffer() : bytes_(new char[capacity]) {}
    char* data() { return bytes_.get(); }
    static constexpr std::size_t capacity = 16384;

private:
    std::unique_ptr<char[]> bytes_;
};

class DirectoryEntries {
public:
    // `buffer` serves this walk alone until it ends. The walk starts at
    // the directory's beginning, whatever walks went before on `dirfd`.
    DirectoryEntries(int dirfd, DirectoryBuffer& buffer);
    DirectoryEntries(const DirectoryEntries&) = delete;
    DirectoryEntries& operator=(const DirectoryEntries&) = delete;

    // True with the next entry's name (never "." or ".."), false at the
    // end of the directory, or the failure of getdents64.
    Result<bool> next(std::string_view& name);

private:
    int dirfd_;
    DirectoryBuffer& buffer_;
    std::size_t used_ = 0;
    std::size_t filled_ = 0;
    int error_ = 0; // of the seek to the start
};

// The ids of the processes listed in a /proc root, ascending as the kernel
// lists them.
class ProcessIds {
public:
    ProcessIds(int proc_fd, DirectoryBuffer& buffer) : entries_(proc_fd, buffer) {}
    // True with the next id, false at the end, or the listing's failure. A
    // root that lists no process at all is not /proc (not mounted, or
    // hidden by a sandbox): ENOENT, since a real one lists at least init.
    Result<bool> next(std::uint32_t& id);

private:
    DirectoryEntries entries_;
    bool listed_any_ = false;
};

} // namespace sockscope_detail
