// UTF-16 process names as text for the terminal: multibyte characters of
// the C library's current locale (LC_CTYPE).
#pragma once

#include <string>

namespace sockscope_demo {

// `name` converted character by character; a character that the locale
// can't represent, or an unpaired surrogate, becomes "?". Null gives "-".
std::string to_locale_text(const char16_t* name);

} // namespace sockscope_demo
