// SPDX-License-Identifier: MIT
// /proc/net/{tcp,udp,tcp6,udp6} text: the first byte picks the table.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/proc_net_parser.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Protocol protocol = data[0] & 1 ? Protocol::udp : Protocol::tcp;
    const Family family = data[0] & 2 ? Family::ipv6 : Family::ipv4;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const TableRequest request{protocol, family, 0, {}};
    SocketRows rows;
    const Result<void> parsed = parse_proc_net_table(text, request, rows);
    if (!parsed && parsed.error() != EPROTO) std::abort();
    for (const SocketRow& row : rows) {
        if (!passes(request, row) || row.local_port > 0xFFFF || row.remote_port > 0xFFFF) std::abort();
        if (row.protocol != protocol || row.family != family) std::abort();
        if (family == Family::ipv4 && (row.local_address[4] != 0 || row.remote_address[15] != 0)) std::abort();
    }
    return 0;
}
