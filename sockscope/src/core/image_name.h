// SPDX-License-Identifier: MIT
// How a process's image name is made from what /proc shows of it.
//
// The name is the process's comm. The kernel cuts comm at 15 bytes, so a
// comm of exactly 15 bytes may be the start of a longer name: then the base
// name of the executable or of argv[0] is taken instead, when it starts with
// the comm. "/usr/bin/a-very-long-program" with comm "a-very-long-pro"
// gives "a-very-long-program".
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace sockscope_detail {

// Longest comm the kernel keeps (TASK_COMM_LEN - 1).
constexpr std::size_t max_comm_length = 15;

// The comm as /proc/<id>/comm shows it, without its line end.
std::string_view comm_from_file(std::string_view contents);

// argv[0]: the command line up to its first NUL.
std::string_view first_argument(std::string_view cmdline);

// The executable's path from its /proc/<id>/exe link target, without the
// " (deleted)" that the kernel adds once the file is gone.
std::string_view executable_path(std::string_view link_target);

// The base name of `path` if it can stand for a cut comm: it starts with the
// comm and is longer.
std::optional<std::string_view> long_name_from_path(std::string_view comm, std::string_view path);

} // namespace sockscope_detail
