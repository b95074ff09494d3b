// Small, allocation-free helpers for reading /proc: whole small files,
// symlink targets and directory listings, all relative to a directory
// descriptor. Every helper retries on EINTR and reports a vanished or
// unreadable object as failure (-1 or false), never as an error to raise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

#include "unique_fd.h"

namespace sockscope_detail {

// Opens a directory (relative to dirfd, or absolute) for reading.
UniqueFd open_directory(int dirfd, const char* path);

// Reads up to `capacity` bytes of a file into `buffer`; returns the count,
// or -1 when it cannot be opened or read.
ssize_t read_file_at(int dirfd, const char* path, char* buffer, std::size_t capacity);

// Target of a symbolic link, cut at `capacity` bytes; -1 on failure.
ssize_t read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity);

// Parses a whole text as a decimal process id ("1234"); false for anything
// else, including "0", leading zeros and values above 32 bits.
bool parse_process_id(std::string_view text, std::uint32_t& id);

// Walks the entries of a /proc directory in the order the kernel lists them.
// Entries are read in batches into a fixed buffer; no allocation per entry.
class DirectoryEntries {
public:
    explicit DirectoryEntries(int dirfd) : dirfd_(dirfd) {}
    DirectoryEntries(const DirectoryEntries&) = delete;
    DirectoryEntries& operator=(const DirectoryEntries&) = delete;

    // Next entry name (never "." or ".."); false at the end or on error.
    bool next(std::string_view& name);

private:
    int dirfd_;
    std::size_t used_ = 0;
    std::size_t filled_ = 0;
    bool at_end_ = false;
    alignas(8) char buffer_[16384];
};

// Walks the process ids listed in /proc, ascending as the kernel lists them.
class ProcessIds {
public:
    explicit ProcessIds(int proc_fd) : entries_(proc_fd) {}
    bool next(std::uint32_t& id);

private:
    DirectoryEntries entries_;
};

// The /proc directory, opened for one call's work.
UniqueFd open_proc();

} // namespace sockscope_detail
