// Conversions from the raw fields of a connection table row to what the
// public records carry: dotted-quad texts, host-order ports, state names.
// Every text returned here is a new block on the C heap (release with free)
// or null when memory ran out; state names are constants, never released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace sockscope_detail {

// Number of decimal digits of `value`; 1 for 0, 10 for 4294967295.
unsigned digit_count(std::uint32_t value);

// Decimal text of a signed value, with a leading "-" when negative.
char* decimal_text(std::int32_t value);

// base raised to a non-negative whole exponent; 1.0 for exponent <= 0.
double power(double base, int exponent);

// The pieces joined in order. A null piece ends the list early, so a list
// may also be written in the "..., nullptr" style.
char* concat(std::initializer_list<const char*> pieces);

// Dotted quad of an address field as the kernel stores it (network byte
// order: the least significant byte holds the first octet).
char* dotted_quad(std::uint32_t address);

// The same text, null-terminated, in a buffer of the caller's: no allocation.
void dotted_quad_into(std::uint32_t address, char (&text)[16]);

// Swaps the two bytes of each 16-bit half: a port kept in network order in
// the low half comes out in host order. The upper half is swapped too, not
// cleared.
std::uint32_t port_to_host_order(std::uint32_t port);

// Compares at most `count` characters of s and t as signed 8-bit values and
// returns the first non-zero difference (truncated to 8 bits), or 0 when they
// agree up to the end of s or for `count` characters.
int bounded_compare(const char* s, const char* t, std::size_t count);

// Name of a connection state 1..12 ("CLOSED" .. "DELETE_TCB"); "UNKNOWN"
// for any other value.
const char* state_name(std::uint32_t state);

} // namespace sockscope_detail
