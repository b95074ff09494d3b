// SPDX-License-Identifier: MIT
#include "core/conversions.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace sockscope_detail {
namespace {

char* heap_copy(const char* text) {
    const std::size_t length = std::strlen(text);
    auto* block = static_cast<char*>(std::malloc(length + 1));
    if (block != nullptr) std::memcpy(block, text, length + 1);
    return block;
}


} // namespace

unsigned digit_count(std::uint32_t value) {
    unsigned digits = 1;
    while ((value /= 10) != 0) ++digits;
    return digits;
}

std::uint32_t ipv4_field(const Address& address) {
    std::uint32_t field;
    std::memcpy(&field, address.data(), sizeof field);
    return field;
}

void dotted_quad_into(std::uint32_t address, char (&text)[16]) {
    // "255.255.255.255" is 15 characters and its terminator.
    char* out = text;
    for (int octet = 0; octet < 4; ++octet) {
        unsigned value = (address >> (8 * octet)) & 0xFFu;
        const unsigned digits = digit_count(value);
        for (unsigned i = digits; i-- > 0; value /= 10) out[i] = static_cast<char>('0' + value % 10);
        out += digits;
        *out++ = octet == 3 ? '\0' : '.';
    }
}

char* dotted_quad(std::uint32_t address) {
    char text[16];
    dotted_quad_into(address, text);
    return heap_copy(text);
}

bool needs_zone(const Address& address) {
    const bool link_local = address[0] == 0xFE && (address[1] & 0xC0) == 0x80;
    const unsigned multicast_scope = address[1] & 0x0F; // the low nibble of ffXY
    return link_local || (address[0] == 0xFF && (multicast_scope == 1 || multicast_scope == 2));
}

std::size_t address_text_into(Family family, const Address& address, std::string_view zone,
                              char (&text)[ipv6_text_size]) {
    if (family == Family::ipv4) {
        char quad[16];
        dotted_quad_into(ipv4_field(address), quad);
        const std::size_t length = std::strlen(quad);
        std::memcpy(text, quad, length + 1);
        return length;
    }
    if (inet_ntop(AF_INET6, address.data(), text, INET6_ADDRSTRLEN) == nullptr) { // can't happen
        text[0] = '\0';
        return 0;
    }
    std::size_t length = std::strlen(text);
    // A zone is never longer than an interface name (interface_zones.h).
    if (!zone.empty() && needs_zone(address) && zone.size() <= sizeof text - length - 2) {
        text[length] = '%';
        std::memcpy(text + length + 1, zone.data(), zone.size());
        length += 1 + zone.size();
        text[length] = '\0';
    }
    return length;
}

char* ipv6_text(const Address& address, std::string_view zone) { return address_text(Family::ipv6, address, zone); }

char* address_text(Family family, const Address& address, std::string_view zone) {
    char text[ipv6_text_size];
    address_text_into(family, address, zone, text);
    return heap_copy(text);
}

std::uint32_t port_to_host_order(std::uint32_t port) {
    return ((port & 0x00FF00FFu) << 8) | ((port & 0xFF00FF00u) >> 8);
}


} // namespace sockscope_detail
