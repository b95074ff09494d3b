// The UTF-8 decoder: whatever the bytes, the UTF-16 it makes is well
// formed, never longer than the input, and ASCII passes through unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "utf8.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string text = utf8_to_utf16(bytes);
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
    char16_t* copy = utf8_to_heap_utf16(bytes);
    if (copy == nullptr || std::memcmp(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t)) != 0) std::abort();
    std::free(copy);
    return 0;
}
