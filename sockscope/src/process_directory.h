// The running processes by image name and id, read afresh from /proc on
// every call. Nothing is kept between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockscope_detail {

// Image name of process `id` (see image_name.h), as UTF-8 bytes exactly as
// /proc shows them; nullopt when /proc has no such process (or it ended
// while being read). `proc_fd` is an open /proc directory.
std::optional<std::string> read_image_name(int proc_fd, std::uint32_t id);

// Id of the first process in /proc's order (ascending ids) whose image name,
// decoded as UTF-8, equals `name` code unit by code unit; 0 if none or if
// name is null.
std::uint32_t find_process_id(const char16_t* name);

// Image name of process `id` as UTF-16; nullopt when /proc has no such
// process.
std::optional<std::u16string> process_name(int proc_fd, std::uint32_t id);

// Image name of process `id` as a new null-terminated UTF-16 block on the C
// heap, or null when no process has that id (or memory ran out). Reads only
// /proc/<id>; ids are unique, so this is what a walk over every process would
// find.
char16_t* process_name_by_id(int proc_fd, std::uint32_t id);

} // namespace sockscope_detail
