// SPDX-License-Identifier: MIT
// A caller of the installed library: prints the TCP table's listeners with
// their owners' names. The same program is docs/cpp.md's example.
#include <cstdio>
#include <string>
#include <sockscope/sockscope.h>

// A process name (UTF-16) as UTF-8; null gives "-".
std::string utf8(const char16_t* name) {
    if (name == nullptr) return "-";
    std::string out;
    for (const char16_t* unit = name; *unit != 0; ++unit) {
        char32_t c = *unit;
        if (c >= 0xD800 && c <= 0xDBFF && unit[1] >= 0xDC00 && unit[1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (*++unit - 0xDC00); // a surrogate pair
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD; // a lone surrogate
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
                    static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

int main() {
    sockscope library;
    statTCPROW* rows = library.getstat_tcp();
    if (rows == nullptr) {
        std::perror("getstat_tcp");
        return 1;
    }
    for (std::uint32_t i = 0; i < rows[0].size; ++i)
        if (rows[i].Statenum == 2) // LISTEN
            std::printf("%s:%u pid %u %s\n", rows[i].LocalAddr, rows[i].LocalPort, rows[i].PID,
                        utf8(rows[i].ProcessName).c_str());
    library.getstat_free(rows);
    return 0;
}
