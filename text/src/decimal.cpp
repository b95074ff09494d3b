// SPDX-License-Identifier: MIT
#include "sockscope_text/decimal.h"

#include <charconv>

namespace sockscope_text {

void append_decimal(std::string& out, std::uint32_t value) {
    char digits[10];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

} // namespace sockscope_text
