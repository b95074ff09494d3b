// SPDX-License-Identifier: MIT
// The command-line options of --events (the connection stream), parsed
// apart from the table's so that each can grow on its own.
#pragma once

#include <string>
#include <string_view>

#include "options.h"

namespace sockscope_tool {

// Whether `option` (a long option) is one of --events' that takes a value.
bool is_event_value_option(std::string_view option);
// Applies one of them; returns an error or "".
std::string apply_event_value(Options& options, std::string_view option, std::string_view value);
// Sets the flag of one of --events' long options; false if it is none.
bool apply_event_flag(Options& options, std::string_view option);

// After the whole command line: an error when options that only make sense
// with --events are given without it, or ones that make no sense with it
// are given with it; "" otherwise.
std::string event_options_conflict(const Options& options);

} // namespace sockscope_tool
