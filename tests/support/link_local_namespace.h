// SPDX-License-Identifier: MIT
// Two links with the same link-local address, which only the interface
// tells apart.
#pragma once

#include <string>

namespace sockscope_test {

// In a child that run_isolated made: moves it into a network namespace of
// its own holding loopback (up: a connection to a local address takes it)
// and a veth pair v0-v1, both up, each end with the address
// fe80::1 (ready at once: no duplicate address detection). Returns "", or
// "skip: why" when the machine can't make them.
std::string enter_namespace_with_two_links();

} // namespace sockscope_test
