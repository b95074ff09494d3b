#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "conversions.h"

using namespace sockscope_detail;

namespace {

// Takes ownership of a C-heap text and returns it as a string.
std::string take(char* text) {
    std::unique_ptr<char, decltype(&std::free)> owner(text, &std::free);
    EXPECT_NE(text, nullptr);
    return text ? std::string(text) : std::string();
}

// An address field as the kernel stores it: first octet in the low byte.
constexpr std::uint32_t field(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a | (b << 8) | (c << 16) | (d << 24);
}

TEST(Conversions, DigitCount) {
    const std::pair<std::uint32_t, unsigned> cases[] = {
        {0, 1}, {9, 1}, {10, 2}, {99, 2}, {100, 3}, {999999999, 9}, {1000000000, 10}, {4294967295u, 10},
    };
    for (const auto& [value, digits] : cases) EXPECT_EQ(digit_count(value), digits) << value;
}

TEST(Conversions, DecimalText) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "0"},           {7, "7"},   {255, "255"}, {-7, "-7"}, {1000, "1000"},
        {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(take(decimal_text(value)), text) << value;
}

TEST(Conversions, PowerIsRepeatedMultiplication) {
    EXPECT_EQ(power(10.0, 0), 1.0);
    EXPECT_EQ(power(10.0, -3), 1.0);
    EXPECT_EQ(power(10.0, 3), 1000.0);
    EXPECT_EQ(power(10.0, 9), 1e9);
}

TEST(Conversions, ConcatJoinsPiecesUpToTheFirstNull) {
    EXPECT_EQ(take(concat({"a", "", "bc"})), "abc");
    EXPECT_EQ(take(concat({"a", "b", nullptr, "ignored"})), "ab");
    EXPECT_EQ(take(concat({""})), "");
}

TEST(Conversions, DottedQuad) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {field(127, 0, 0, 1), "127.0.0.1"},
        {0, "0.0.0.0"},
        {0xFFFFFFFFu, "255.255.255.255"},
        {field(10, 20, 30, 40), "10.20.30.40"},
        {field(192, 168, 0, 100), "192.168.0.100"},
    };
    for (const auto& [address, text] : cases) EXPECT_EQ(take(dotted_quad(address)), text);
}

TEST(Conversions, PortToHostOrderSwapsBothHalves) {
    // Bytes 0x01 0xBB in memory order read as a little-endian field.
    EXPECT_EQ(port_to_host_order(0xBB01u), 443u);
    EXPECT_EQ(port_to_host_order(0x5000u), 80u);
    EXPECT_EQ(port_to_host_order(0u), 0u);
    // The upper half is carried along, its bytes swapped, not cleared.
    EXPECT_EQ(port_to_host_order(0x1234BB01u), 0x341201BBu);
}

TEST(Conversions, BoundedCompare) {
    EXPECT_EQ(bounded_compare("127.0.0.12", "127.0.0.1", 9), 0);
    EXPECT_EQ(bounded_compare("127.0.0.1", "127.0.0.1", 9), 0);
    EXPECT_EQ(bounded_compare("abc", "abd", 2), 0);
    EXPECT_LT(bounded_compare("127.0.0.0", "127.0.0.1", 9), 0);
    EXPECT_GT(bounded_compare("128.0.0.1", "127.0.0.1", 9), 0);
    EXPECT_NE(bounded_compare("10.0.0.1", "127.0.0.1", 9), 0);
    // Stops at the end of s: a shorter s differs by the terminator.
    EXPECT_LT(bounded_compare("127.0", "127.0.0.1", 9), 0);
    EXPECT_EQ(bounded_compare("", "", 5), 0);
    EXPECT_EQ(bounded_compare("x", "y", 0), 0);
    // Characters are signed 8-bit and so is the difference: 0x80 counts as
    // -128, and -128 - 'a' wraps to 31.
    EXPECT_EQ(bounded_compare("\x80", "a", 1), 31);
    EXPECT_EQ(bounded_compare("a", "\x80", 1), -31);
}

TEST(Conversions, StateNames) {
    const char* expected[] = {"CLOSED", "LISTEN",   "SENT",     "RCVD",     "ESTABLISH", "WAIT1",
                              "WAIT2",  "CLOSE_WAIT", "CLOSEING", "LAST_ACK", "TIMEWAIT",  "DELETE_TCB"};
    for (std::uint32_t state = 1; state <= 12; ++state) EXPECT_STREQ(state_name(state), expected[state - 1]);
    EXPECT_STREQ(state_name(0), "UNKNOWN");
    EXPECT_STREQ(state_name(13), "UNKNOWN");
    EXPECT_STREQ(state_name(0xFFFFFFFFu), "UNKNOWN");
}

} // namespace
