// SPDX-License-Identifier: MIT
// Conversions from the raw fields of a table row to what the public records
// carry: address texts, host-order ports, state names. Texts returned here
// are new blocks on the C heap (release with free), or null when memory ran
// out; state names are constants, never released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>

#include "core/socket_row.h"

namespace sockscope_detail {

// Number of decimal digits of `value`; 1 for 0, 10 for 4294967295.
unsigned digit_count(std::uint32_t value);

// The IPv4 address of a row as the 32-bit field the kernel stores (network
// byte order, so on x86-64 the least significant byte holds the first octet).
std::uint32_t ipv4_field(const Address& address);

// Dotted quad of an IPv4 address field: 0x0100007F gives "127.0.0.1".
char* dotted_quad(std::uint32_t address);

// The same text, null-terminated, in a buffer of the caller's: no allocation.
void dotted_quad_into(std::uint32_t address, char (&text)[16]);

// Whether an IPv6 address names something only together with an interface,
// its zone: link-local unicast (fe80::/10) and interface- and link-local
// multicast (ffx1::/16, ffx2::/16).
bool needs_zone(const Address& address);

// Room for the longest IPv6 address text with its zone and terminator.
constexpr std::size_t ipv6_text_size = INET6_ADDRSTRLEN + interface_name_size;

// An IPv6 address in the standard compressed form ("::1"; v4-mapped ones as
// "::ffff:127.0.0.1"). An address that needs a zone is followed by '%' and
// `zone` ("fe80::1%eth0") unless `zone` is empty; other addresses ignore it.
// `zone` is at most interface_name_size - 1 characters (see interface_zones.h).
char* ipv6_text(const Address& address, std::string_view zone = {});

// The address text of a row's address in its family; IPv4 has no zones.
char* address_text(Family family, const Address& address, std::string_view zone = {});

// The same text, null-terminated, in a buffer of the caller's; its length.
std::size_t address_text_into(Family family, const Address& address, std::string_view zone,
                              char (&text)[ipv6_text_size]);

// Swaps the two bytes of each 16-bit half: a port kept in network order in
// the low half comes out in host order, and back. The upper half is swapped
// too, not cleared. The library's only byte swap of ports.
std::uint32_t port_to_host_order(std::uint32_t port);


} // namespace sockscope_detail
