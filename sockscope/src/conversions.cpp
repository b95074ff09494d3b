#include "conversions.h"

#include <cstdlib>
#include <cstring>

namespace sockscope_detail {
namespace {

// Writes the digits of `value` so that they end just before `end`; returns
// where they start.
char* write_digits_backwards(std::uint32_t value, char* end) {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

char* heap_copy(const char* text, std::size_t length) {
    auto* block = static_cast<char*>(std::malloc(length + 1));
    if (block == nullptr) return nullptr;
    std::memcpy(block, text, length);
    block[length] = '\0';
    return block;
}

const char* const state_names[12] = {
    "CLOSED",  "LISTEN",     "SENT",     "RCVD",     "ESTABLISH", "WAIT1",
    "WAIT2",   "CLOSE_WAIT", "CLOSEING", "LAST_ACK", "TIMEWAIT",  "DELETE_TCB",
};

} // namespace

unsigned digit_count(std::uint32_t value) {
    unsigned digits = 1;
    while ((value /= 10) != 0) ++digits;
    return digits;
}

char* decimal_text(std::int32_t value) {
    // The magnitude is taken in 64 bits so that the most negative value,
    // whose negation does not fit in 32, comes out right.
    const std::int64_t wide = value;
    const auto magnitude = static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
    char buffer[12];
    char* end = buffer + sizeof buffer;
    char* start = write_digits_backwards(magnitude, end);
    if (value < 0) *--start = '-';
    return heap_copy(start, static_cast<std::size_t>(end - start));
}

double power(double base, int exponent) {
    double result = 1.0;
    for (int i = 0; i < exponent; ++i) result *= base;
    return result;
}

char* concat(std::initializer_list<const char*> pieces) {
    std::size_t total = 0;
    for (const char* piece : pieces) {
        if (piece == nullptr) break;
        total += std::strlen(piece);
    }
    auto* block = static_cast<char*>(std::malloc(total + 1));
    if (block == nullptr) return nullptr;
    char* out = block;
    for (const char* piece : pieces) {
        if (piece == nullptr) break;
        const std::size_t length = std::strlen(piece);
        std::memcpy(out, piece, length);
        out += length;
    }
    *out = '\0';
    return block;
}

void dotted_quad_into(std::uint32_t address, char (&text)[16]) {
    // Formatted right to left, then moved to the front: "255.255.255.255"
    // is 15 characters and its terminator.
    char* end = text + sizeof text - 1;
    *end = '\0';
    char* start = end;
    for (int octet = 3; octet >= 0; --octet) {
        start = write_digits_backwards((address >> (8 * octet)) & 0xFFu, start);
        if (octet != 0) *--start = '.';
    }
    std::memmove(text, start, static_cast<std::size_t>(end - start) + 1);
}

char* dotted_quad(std::uint32_t address) {
    char text[16];
    dotted_quad_into(address, text);
    return heap_copy(text, std::strlen(text));
}

std::uint32_t port_to_host_order(std::uint32_t port) {
    return ((port & 0x00FF00FFu) << 8) | ((port & 0xFF00FF00u) >> 8);
}

int bounded_compare(const char* s, const char* t, std::size_t count) {
    std::int8_t result = 0;
    while (count != 0) {
        const auto sc = static_cast<std::int8_t>(*s);
        const auto tc = static_cast<std::int8_t>(*t);
        result = static_cast<std::int8_t>(sc - tc);
        ++t;
        if (result != 0 || sc == 0) break;
        ++s;
        --count;
    }
    return result;
}

const char* state_name(std::uint32_t state) {
    if (state < 1 || state > 12) return "UNKNOWN";
    return state_names[state - 1];
}

} // namespace sockscope_detail
