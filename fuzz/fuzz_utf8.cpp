// SPDX-License-Identifier: MIT
// The UTF-8 decoder: whatever the bytes, the UTF-16 it makes is well
// formed, never longer than the input, ASCII passes through unchanged, and
// the allocation-free comparison agrees with the decoded text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/utf8.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    char16_t* copy = utf8_to_heap_utf16(bytes);
    if (copy == nullptr) std::abort();
    const std::u16string text(copy); // up to a zero unit, which a zero byte decodes to
    std::free(copy);
    if (text.size() > bytes.size()) std::abort();
    bool ascii = true;
    for (const char c : bytes) ascii &= static_cast<unsigned char>(c) < 0x80;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (ascii && unit != static_cast<unsigned char>(bytes[i])) std::abort();
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) std::abort();
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            std::abort();
        }
    }
    const bool has_zero = bytes.find('\0') != std::string_view::npos;
    if (!has_zero && !utf8_equals_utf16(bytes, text.c_str())) std::abort();
    if (utf8_equals_utf16(bytes, (text + u"x").c_str())) std::abort();
    return 0;
}
