// SPDX-License-Identifier: MIT
// Filter expressions in the words `ss` reads them in:
//
//   [state NAME | exclude NAME]... [EXPRESSION]
//
// where EXPRESSION combines the tests `sport OP PORT`, `dport OP PORT`
// (OP: = == eq, != ne neq, < lt, > gt, <= le leq, >= ge geq; none means
// =; PORT `:443`, `443` or a service name `:ssh`) and `src HOST`, `dst
// HOST` (an address, `addr:port`, a prefix `10.0.0.0/8` or `10.1/16`,
// `[v6]`, `[v6]:port`, `[v6/64]`, `*` or `*:port` or `:port`) with `not`
// (`!`), `and` (`&&`, `&`, or nothing between two tests), `or` (`||`,
// `|`) and parentheses. `not` binds tightest, then `and`, then `or`. The
// state words, which only lead, make a set of states: the first `state`
// starts it empty and each adds its states; an `exclude` takes its states
// out of the set (of every state, when it comes first).
//
// An address test is the kernel's (sock_diag bytecode): its port, when
// given, is the socket's port at that end; an IPv4 address or prefix also
// matches an IPv6 socket's IPv4-mapped address (::ffff:a.b.c.d).
//
// Parsing has no side effects: service names are looked up by a function
// of the caller's (linux/service_ports.h in the library).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/socket_row.h"

namespace sockscope_detail {

// Every kernel state a socket table lists, as (1 << state) bits: 1..12.
constexpr std::uint32_t every_kernel_state = 0x1FFEu;

struct ExpressionNode {
    enum class Kind : std::uint8_t {
        all_of,     // every child holds (none: always true)
        any_of,     // some child holds
        negation,   // its one child does not hold
        port_equal, // the port at one end compares with `port`
        port_at_least,
        port_at_most,
        host        // address (prefix) and maybe port at one end
    };
    Kind kind = Kind::all_of;
    bool local = true;        // sport and src: the socket's own end; dport and dst: the peer's
    std::uint8_t family = 0;  // host: 0 any address (a wildcard), 4 or 6
    std::uint8_t prefix_length = 0; // host: bits of `address` compared
    std::int32_t port = -1;   // host: -1 any port; the port tests: 0..65535
    Address address{};        // host, network order (IPv4 in the first four bytes)
    std::vector<std::uint32_t> children; // indices into FilterExpression::nodes
};

struct FilterExpression {
    // The states the state words allow, as (1 << kernel state) bits.
    std::uint32_t states = every_kernel_state;
    // The tests, the root last; empty when the expression has none.
    std::vector<ExpressionNode> nodes;

    // Whether a row passes the tests (not the states: see `states`).
    bool matches(const SocketRow& row) const;
};

// Looks a service name up ("ssh"): true with its port in host order.
using ServiceLookup = bool (*)(const std::string& name, std::uint16_t& port);

struct ExpressionParse {
    FilterExpression expression;
    // nullptr when the text parsed; otherwise a short reason and the byte
    // offset in the text where it goes wrong.
    const char* error = nullptr;
    std::size_t position = 0;
};

// Parses `text`; an empty text (or blanks only) passes every socket. A
// service name is refused when `services` is null or doesn't know it.
// Throws std::bad_alloc when memory runs out.
ExpressionParse parse_filter_expression(std::string_view text, ServiceLookup services = nullptr);

} // namespace sockscope_detail
