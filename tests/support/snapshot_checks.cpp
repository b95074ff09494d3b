// SPDX-License-Identifier: MIT
#include "snapshot_checks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <malloc.h>
#include <string>

namespace sockscope_test {
namespace {

const char* const state_names[] = {"CLOSED", "LISTEN",     "SENT",     "RCVD",     "ESTABLISH", "WAIT1",
                                   "WAIT2",  "CLOSE_WAIT", "CLOSEING", "LAST_ACK", "TIMEWAIT",  "DELETE_TCB"};

bool dotted_quad(const char* text) {
    if (text == nullptr) return false;
    int octets = 0;
    const char* p = text;
    for (;;) {
        int digits = 0, value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p++ - '0');
            if (++digits > 3) return false;
        }
        if (digits == 0 || value > 255 || (digits > 1 && p[-digits] == '0')) return false;
        ++octets;
        if (*p == '\0') return octets == 4;
        if (*p++ != '.' || octets == 4) return false;
    }
}

// Link-local unicast, interface- or link-local multicast.
bool scoped(const in6_addr& address) {
    const std::uint8_t* bytes = address.s6_addr;
    return (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) ||
           (bytes[0] == 0xFF && ((bytes[1] & 0x0F) == 1 || (bytes[1] & 0x0F) == 2));
}

// Dotted quad, or an IPv6 address in its one compressed form; a scoped one
// may be followed by "%" and its zone, printable ASCII.
bool address_text(const char* text) {
    if (dotted_quad(text)) return true;
    if (text == nullptr) return false;
    const char* percent = std::strchr(text, '%');
    const std::string host = percent ? std::string(text, percent) : std::string(text);
    in6_addr address;
    char canonical[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET6, host.c_str(), &address) != 1 ||
        inet_ntop(AF_INET6, &address, canonical, sizeof canonical) == nullptr || host != canonical)
        return false;
    if (percent == nullptr) return true;
    const std::string zone = percent + 1;
    return scoped(address) && !zone.empty() && zone.size() < IF_NAMESIZE &&
           std::all_of(zone.begin(), zone.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool valid_utf16(const char16_t* name) {
    if (name == nullptr) return true;
    for (std::size_t i = 0; name[i] != 0; ++i) {
        if (i > 4096) return false; // an image name is never that long: unterminated
        const char16_t unit = name[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

template <typename Row>
::testing::AssertionResult common_checks(const Row* rows, std::uint32_t& count) {
    if (rows == nullptr) return ::testing::AssertionFailure() << "snapshot is null";
    count = rows[0].size;
    const std::size_t records = count == 0 ? 1 : count;
    if (malloc_usable_size(const_cast<Row*>(rows)) < records * sizeof(Row))
        return ::testing::AssertionFailure() << "array shorter than its size " << count;
    if (count == 0 && (rows[0].LocalAddr != nullptr || rows[0].ProcessName != nullptr))
        return ::testing::AssertionFailure() << "empty snapshot is not zero-filled";
    for (std::uint32_t i = 0; i < count; ++i) {
        const Row& row = rows[i];
        if (row.size != count) return ::testing::AssertionFailure() << "record " << i << " has size " << row.size;
        if (!address_text(row.LocalAddr)) return ::testing::AssertionFailure() << "record " << i << " local address";
        if (row.LocalPort > 65535) return ::testing::AssertionFailure() << "record " << i << " local port";
        if (!valid_utf16(row.ProcessName)) return ::testing::AssertionFailure() << "record " << i << " name";
        if (row.PID == 0 && row.ProcessName != nullptr)
            return ::testing::AssertionFailure() << "record " << i << " has a name but no owner";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

::testing::AssertionResult well_formed(const statTCPROW* rows) {
    std::uint32_t count = 0;
    auto result = common_checks(rows, count);
    if (!result) return result;
    for (std::uint32_t i = 0; i < count; ++i) {
        const statTCPROW& row = rows[i];
        if (row.Statenum < 1 || row.Statenum > 12 || row.Statestr == nullptr ||
            std::strcmp(row.Statestr, state_names[row.Statenum - 1]) != 0)
            return ::testing::AssertionFailure() << "record " << i << " state " << row.Statenum;
        if (!address_text(row.RemoteAddr)) return ::testing::AssertionFailure() << "record " << i << " remote address";
        if (row.RemotePort > 65535) return ::testing::AssertionFailure() << "record " << i << " remote port";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult well_formed(const statUDPROW* rows) {
    std::uint32_t count = 0;
    return common_checks(rows, count);
}

} // namespace sockscope_test
