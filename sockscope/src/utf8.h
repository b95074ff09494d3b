// UTF-8 to UTF-16. Process names are bytes to the kernel; we show them as
// UTF-8 and replace every ill-formed sequence with U+FFFD, one replacement
// per maximal ill-formed subpart (the Unicode recommended practice).
#pragma once

#include <string>
#include <string_view>

namespace sockscope_detail {

std::u16string utf8_to_utf16(std::string_view bytes);

// The same, into a new null-terminated block on the C heap; null when
// memory ran out.
char16_t* utf8_to_heap_utf16(std::string_view bytes);

} // namespace sockscope_detail
