// SPDX-License-Identifier: MIT
#include "own_name.h"

#include <unistd.h>

namespace sockscope_test {

std::string own_name() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    const std::string exe(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    return exe.substr(exe.rfind('/') + 1);
}

std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
        i += static_cast<std::size_t>(extra) + 1;
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    return out;
}

} // namespace sockscope_test
