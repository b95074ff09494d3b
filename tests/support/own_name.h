// SPDX-License-Identifier: MIT
// What the library should report for the test process itself, and text
// helpers for comparing names.
#pragma once

#include <string>

namespace sockscope_test {

// This program's image name as the library makes it: the executable's
// file name (the test programs' names are longer than 15 bytes).
std::string own_name();

// UTF-8 text (well-formed) as UTF-16.
std::u16string utf16(const std::string& text);

} // namespace sockscope_test
