// SPDX-License-Identifier: MIT
#include "sockscope_text/decimal.h"

#include <charconv>

namespace sockscope_text {

void append_decimal(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

std::size_t decimal_digits(std::uint64_t value) {
    std::size_t digits = 1;
    for (; value >= 10; value /= 10) ++digits;
    return digits;
}

} // namespace sockscope_text
