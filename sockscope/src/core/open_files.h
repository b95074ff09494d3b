// SPDX-License-Identifier: MIT
// How many files are open on the machine, from /proc/sys/fs/file-nr: what
// a scan of every process's descriptor links, and the kernel iterator that
// visits every descriptor, are heading for.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.h"

namespace sockscope_detail {

// The first of file-nr's three numbers ("12396\t0\t2466137"), the open
// files of every namespace; EPROTO when the text doesn't start with one.
Result<std::uint64_t> parse_open_files(std::string_view file_nr);

} // namespace sockscope_detail
