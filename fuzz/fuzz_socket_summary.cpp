// SPDX-License-Identifier: MIT
// The kernel's socket counts: sockstat, sockstat6 and snmp texts separated
// by NUL bytes (one NUL only: a kernel without IPv6); and the rows a dump is
// counted to give from them.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "core/socket_summary.h"
#include "core/table_size_estimate.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const auto next = [&rest]() -> std::optional<std::string_view> {
        const std::size_t nul = rest.find('\0');
        if (nul == std::string_view::npos) return std::nullopt;
        const std::string_view part = rest.substr(0, nul);
        rest.remove_prefix(nul + 1);
        return part;
    };
    const std::optional<std::string_view> sockstat = next();
    if (!sockstat) return 0;
    const std::optional<std::string_view> sockstat6 = next();
    const std::string_view snmp = rest;
    SocketSummary summary;
    summary.sockets_used = 12345;
    const bool parsed = parse_socket_summary(*sockstat, sockstat6, snmp, summary).empty();
    // A failed parse leaves the summary as it was; a whole one says whether
    // IPv6 was there.
    if (!parsed && summary.sockets_used != 12345) std::abort();
    if (parsed && summary.has_ipv6 != sockstat6.has_value()) std::abort();
    // The rows the same texts count for a dump of every table: never more
    // than their figures can sum to.
    TableRequest tables[4];
    tables[1].family = tables[3].family = Family::ipv6;
    tables[2].protocol = tables[3].protocol = Protocol::udp;
    if (estimated_rows(*sockstat, sockstat6.value_or(""), tables) > 6 * std::size_t{UINT32_MAX}) std::abort();
    return 0;
}
