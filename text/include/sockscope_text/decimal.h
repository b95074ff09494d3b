// SPDX-License-Identifier: MIT
// Numbers as the console programs print them.
#pragma once

#include <cstdint>
#include <string>

namespace sockscope_text {

// Appends `value` in decimal, no padding or grouping.
void append_decimal(std::string& out, std::uint32_t value);

} // namespace sockscope_text
