// SPDX-License-Identifier: MIT
// Numbers as the console programs print them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sockscope_text {

// Appends `value` in decimal, no padding or grouping.
void append_decimal(std::string& out, std::uint64_t value);

// How many digits append_decimal writes for `value`.
std::size_t decimal_digits(std::uint64_t value);

} // namespace sockscope_text
