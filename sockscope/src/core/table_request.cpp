// SPDX-License-Identifier: MIT
#include "core/table_request.h"

#include <algorithm>

#include "core/conversions.h"
#include "core/tcp_state.h"

namespace sockscope_detail {

std::uint32_t requested_states(const TableRequest& request) {
    const std::uint32_t listed = request.protocol == Protocol::tcp ? tcp_listed_states : udp_listed_states;
    const std::uint32_t expressed = request.expression != nullptr ? request.expression->states : listed;
    return (request.states == 0 ? listed : request.states & listed) & expressed;
}

bool passes(const TableRequest& request, const SocketRow& row) {
    // A state the kernel doesn't use (past 31 in a malformed row, too) passes no request.
    if (row.state >= 32 || (requested_states(request) & (1u << row.state)) == 0) return false;
    if (request.expression != nullptr && !request.expression->matches(row)) return false;
    if (request.ports.empty()) return true;
    const auto local = static_cast<std::uint16_t>(port_to_host_order(row.local_port));
    const auto remote = static_cast<std::uint16_t>(port_to_host_order(row.remote_port));
    return std::any_of(request.ports.begin(), request.ports.end(),
                       [&](std::uint16_t port) { return port == local || port == remote; });
}

bool one_dump_answers(const TableRequest& first, const TableRequest& second) {
    return first.protocol == Protocol::tcp && second.protocol == Protocol::tcp && first.family == Family::ipv4 &&
           second.family == Family::ipv6 && requested_states(first) == requested_states(second) &&
           std::ranges::equal(first.ports, second.ports) && first.expression == second.expression &&
           first.details == second.details && first.detail_store == second.detail_store;
}

} // namespace sockscope_detail
