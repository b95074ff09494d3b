// SPDX-License-Identifier: MIT
#include "socket_filter.h"

#include "netns_names.h"

#include <algorithm>
#include <cstddef>

namespace sockscope_tool {
namespace {

constexpr std::uint32_t every_state = 0x1FFEu; // states 1 to 12

bool equals(const char* text, const std::string& wanted) { return text != nullptr && wanted == text; }

} // namespace

bool starts_without_case(const char* text, const std::string& start) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < start.size(); ++i, ++text)
        if (*text == '\0' || lower(*text) != lower(start[i])) return false;
    return true;
}

SocketFilter::SocketFilter(const Options& options, std::uint64_t named_netns)
    : options_(options), named_netns_(named_netns) {
    const std::uint32_t asked = options.states != 0 ? options.states : every_state;
    if (options.wants_tcp())
        tcp_states_ = asked & (options.listening ? SOCKSCOPE_STATE_BIT(SOCKSCOPE_LISTEN) : every_state);
    if (options.wants_udp())
        udp_states_ = asked & (options.listening ? SOCKSCOPE_STATE_BIT(SOCKSCOPE_CLOSE) : every_state);
    const std::uint32_t states = tcp_states_ | udp_states_;
    every_state_ = states == every_state;
    selection_.what = (options.wants_tcp() ? SOCKSCOPE_TCP : 0u) | (options.wants_udp() ? SOCKSCOPE_UDP : 0u) |
                      (options.wants_ipv4() ? SOCKSCOPE_IPV4 : 0u) | (options.wants_ipv6() ? SOCKSCOPE_IPV6 : 0u);
    if (options.every_namespace()) selection_.what |= SOCKSCOPE_ALL_NAMESPACES;
    if (options.netns) numbered_netns_ = netns_number(*options.netns).value_or(0);
    selection_.states = every_state_ ? 0 : states;
    selection_.ports = options.ports.empty() ? nullptr : options.ports.data();
    selection_.port_count = options.ports.size();
    selection_.expression = options.expression.empty() ? nullptr : options.expression.c_str();
    selection_.details = (options.tcp_info ? SOCKSCOPE_TCP_INFO : 0u) | (options.timers ? SOCKSCOPE_TIMER : 0u) |
                         (options.memory ? SOCKSCOPE_MEMORY : 0u);
}

bool SocketFilter::passes(const sockscope_snapshot& snapshot, const sockscope_socket& socket) const {
    const std::uint32_t states = socket.protocol == 6 ? tcp_states_ : udp_states_;
    if ((states & SOCKSCOPE_STATE_BIT(socket.state)) == 0) return false;
    if (!options_.pids.empty()) {
        const auto asked = [this](std::uint32_t pid) {
            return std::find(options_.pids.begin(), options_.pids.end(), pid) != options_.pids.end();
        };
        bool held = socket.owner_count == 0 && asked(0);
        for (std::uint32_t i = 0; i < socket.owner_count && !held; ++i)
            held = asked(sockscope_owner_at(&snapshot, &socket, i)->pid);
        if (!held) return false;
    }
    if (options_.name) {
        bool named = false;
        for (std::uint32_t i = 0; i < socket.owner_count && !named; ++i) {
            const sockscope_owner* owner = sockscope_owner_at(&snapshot, &socket, i);
            named = equals(owner->name, *options_.name) || equals(owner->comm, *options_.name);
        }
        if (!named) return false;
    }
    if (options_.netns && !equals(socket.netns_name, *options_.netns) &&
        (socket.netns == 0 || (socket.netns != named_netns_ && socket.netns != numbered_netns_)))
        return false;
    if (options_.container) {
        bool inside = false;
        for (std::uint32_t i = 0; i < socket.owner_count && !inside; ++i) {
            const char* container = sockscope_owner_at(&snapshot, &socket, i)->container;
            inside = container != nullptr && starts_without_case(container, *options_.container);
        }
        if (!inside) return false;
    }
    return true;
}

std::uint32_t skipped_namespaces(const sockscope_snapshot& snapshot) {
    const std::size_t known = offsetof(sockscope_snapshot, skipped_namespaces) + sizeof snapshot.skipped_namespaces;
    return snapshot.size < known ? 0 : snapshot.skipped_namespaces;
}

} // namespace sockscope_tool
