// SPDX-License-Identifier: MIT
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "core/conversions.h"
#include "core/tcp_state.h"
#include "core/interface_zones.h"

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

TEST(Conversions, Ipv6TextIsTheCompressedForm) {
    Address loopback{};
    loopback[15] = 1;
    EXPECT_EQ(take(ipv6_text(loopback)), "::1");
    EXPECT_EQ(take(ipv6_text(Address{})), "::");
    Address mapped{};
    mapped[10] = mapped[11] = 0xFF;
    mapped[12] = 127;
    mapped[15] = 1;
    EXPECT_EQ(take(ipv6_text(mapped)), "::ffff:127.0.0.1");
    EXPECT_EQ(take(address_text(Family::ipv6, mapped)), "::ffff:127.0.0.1");
    const Address documentation = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0, 0x01};
    EXPECT_EQ(take(ipv6_text(documentation)), "2001:db8::a:1");
    Address v4{127, 0, 0, 1};
    EXPECT_EQ(take(address_text(Family::ipv4, v4)), "127.0.0.1");
}

// Addresses that mean something on one interface only carry its zone;
// global, loopback, v4-mapped and wider multicast addresses never do.
TEST(Conversions, Ipv6TextCarriesTheZoneOfScopedAddressesOnly) {
    const std::string longest_zone(interface_name_size - 1, 'z');
    const struct {
        const char* address;
        std::string zone;
        std::string text;
    } cases[] = {
        {"fe80::1", "v0", "fe80::1%v0"},
        {"fe80::1", "4294967295", "fe80::1%4294967295"},
        {"febf:ffff::1", "v1", "febf:ffff::1%v1"}, // the top of fe80::/10
        {"ff02::1", "v0", "ff02::1%v0"},           // link-local multicast
        {"ff32::1:2", "v0", "ff32::1:2%v0"},       // ... with flags
        {"ff01::1", "v0", "ff01::1%v0"},           // interface-local multicast
        {"fe80::1", "", "fe80::1"},                // the interface isn't known
        {"fec0::1", "v0", "fec0::1"},
        {"fe7f::1", "v0", "fe7f::1"},
        {"ff05::2", "v0", "ff05::2"},
        {"ff0e::1", "v0", "ff0e::1"},
        {"2001:db8::1", "v0", "2001:db8::1"},
        {"::1", "v0", "::1"},
        {"::", "v0", "::"},
        {"::ffff:169.254.0.1", "v0", "::ffff:169.254.0.1"},
        {"fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff", longest_zone,
         "fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%" + longest_zone},
    };
    for (const auto& c : cases) {
        Address address;
        ASSERT_EQ(inet_pton(AF_INET6, c.address, address.data()), 1) << c.address;
        EXPECT_EQ(take(address_text(Family::ipv6, address, c.zone)), c.text) << c.address << " % " << c.zone;
    }
    // IPv4 has no zones: 254.128.0.1 has the bytes of fe80::/10.
    EXPECT_EQ(take(address_text(Family::ipv4, Address{254, 128, 0, 1}, "v0")), "254.128.0.1");
}

// An interface's zone is its name, or its index when the name is gone or
// is anything but printable ASCII.
TEST(Conversions, InterfaceZonesAreNamesOrIndices) {
    InterfaceZones zones;
    zones.add(2, "v0");
    zones.add(3, nullptr);
    zones.add(4, "v\x1b[1m");
    zones.add(5, "caf\xC3\xA9");
    zones.add(6, "fifteen-letters");
    zones.add(7, "");
    zones.add(4294967295u, nullptr);
    EXPECT_EQ(zones.find(2), "v0");
    EXPECT_EQ(zones.find(3), "3");
    EXPECT_EQ(zones.find(4), "4");
    EXPECT_EQ(zones.find(5), "5");
    EXPECT_EQ(zones.find(6), "fifteen-letters");
    EXPECT_EQ(zones.find(7), "7");
    EXPECT_EQ(zones.find(4294967295u), "4294967295");
    EXPECT_EQ(zones.find(0), "");
    EXPECT_EQ(zones.find(8), "");
}

TEST(Conversions, PortToHostOrderSwapsBothHalves) {
    // Bytes 0x01 0xBB in memory order read as a little-endian field.
    EXPECT_EQ(port_to_host_order(0xBB01u), 443u);
    EXPECT_EQ(port_to_host_order(0x5000u), 80u);
    EXPECT_EQ(port_to_host_order(0u), 0u);
    // The upper half is carried along, its bytes swapped, not cleared.
    EXPECT_EQ(port_to_host_order(0x1234BB01u), 0x341201BBu);
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
