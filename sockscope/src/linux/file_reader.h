// SPDX-License-Identifier: MIT
// Reading files and links relative to a directory descriptor. A short read
// is not the end of a file: only read() returning 0 is. Every call retries
// when a signal interrupts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace sockscope_detail {

// The file at `path` (relative to `dirfd`, or absolute) from its start to
// its end, or its first `limit` bytes, into `contents`, whose capacity is
// reused. Returns 0, or the errno of the failed open or read.
int read_file_at(int dirfd, const char* path, std::string& contents, std::size_t limit = SIZE_MAX);

// The target of a symbolic link, cut at `capacity` bytes. Returns its
// length, or minus the errno.
ssize_t read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity);

} // namespace sockscope_detail
