// SPDX-License-Identifier: MIT
// Reading files and links relative to a directory descriptor. A short read
// is not the end of a file: only read() returning 0 is. Every call retries
// when a signal interrupts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/result.h"

namespace sockscope_detail {

// The file at `path` (relative to `dirfd`, or absolute) from its start to
// its end, or its first `limit` bytes, into `contents`, whose capacity is
// reused; a failed open or read leaves `contents` empty.
Result<void> read_file_at(int dirfd, const char* path, std::string& contents, std::size_t limit = SIZE_MAX);

// The target of a symbolic link, cut at `capacity` bytes: its length.
Result<std::size_t> read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity);

} // namespace sockscope_detail
