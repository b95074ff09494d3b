// SPDX-License-Identifier: MIT
// Process names are bytes to the kernel; we read them as UTF-8 and replace
// every ill-formed sequence with U+FFFD, one replacement per maximal
// ill-formed subpart (the Unicode recommended practice). This is the one
// way a name goes from the kernel's bytes to what callers get.
#pragma once

#include <string>
#include <string_view>

namespace sockscope_detail {

// The name as a new null-terminated UTF-16 block on the C heap; null when
// memory ran out.
char16_t* utf8_to_heap_utf16(std::string_view bytes);

// The bytes as well-formed UTF-8: decoded as above, so that every
// ill-formed sequence is U+FFFD.
std::string well_formed_utf8(std::string_view bytes);

// Whether the bytes, decoded as above, equal the null-terminated `name`
// code unit by code unit. No allocation.
bool utf8_equals_utf16(std::string_view bytes, const char16_t* name);

} // namespace sockscope_detail
