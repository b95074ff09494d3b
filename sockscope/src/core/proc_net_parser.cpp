// SPDX-License-Identifier: MIT
#include "core/proc_net_parser.h"

#include <cerrno>

#include <cstdint>
#include <cstring>

#include "core/conversions.h"
#include "core/decimal.h"
#include "core/tcp_state.h"

namespace sockscope_detail {
namespace {

// Splits a line into whitespace-separated fields, one at a time.
class Fields {
public:
    explicit Fields(std::string_view line) : rest_(line) {}
    bool next(std::string_view& field) {
        const auto start = rest_.find_first_not_of(" \t");
        if (start == std::string_view::npos) return false;
        rest_.remove_prefix(start);
        const auto end = rest_.find_first_of(" \t");
        field = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
        return true;
    }

private:
    std::string_view rest_;
};

template <typename Unsigned>
bool parse_hex(std::string_view text, std::size_t digits, Unsigned& value) {
    return text.size() == digits && parse_number(text, value, 16);
}

// "0100007F:1F90" -> the address bytes and the port in network layout. Each
// group of eight hex digits is one address word as the kernel keeps it in
// memory, printed as a native 32-bit number.
bool parse_endpoint(std::string_view text, Family family, Address& address, std::uint32_t& port) {
    const std::size_t words = family == Family::ipv4 ? 1 : 4;
    const std::size_t colon = 8 * words;
    if (text.size() <= colon || text[colon] != ':') return false;
    address = Address{};
    for (std::size_t i = 0; i < words; ++i) {
        std::uint32_t word;
        if (!parse_hex(text.substr(8 * i, 8), 8, word)) return false;
        std::memcpy(address.data() + 4 * i, &word, sizeof word);
    }
    std::uint32_t host_port;
    if (!parse_hex(text.substr(colon + 1), 4, host_port)) return false;
    port = port_to_host_order(host_port);
    return true;
}

// "00000010:000001F4": the send and the receive queue, in hex.
bool parse_queues(std::string_view text, std::uint32_t& send, std::uint32_t& receive) {
    return text.size() == 17 && text[8] == ':' && parse_hex(text.substr(0, 8), 8, send) &&
           parse_hex(text.substr(9), 8, receive);
}

bool parse_line(std::string_view line, const TableRequest& request, SocketRow& row) {
    Fields fields(line);
    std::string_view slot, local, remote, state, queues, skipped, uid, inode;
    if (!fields.next(slot) || slot.empty() || slot.back() != ':') return false;
    if (!fields.next(local) || !fields.next(remote) || !fields.next(state) || !fields.next(queues)) return false;
    for (int i = 0; i < 2; ++i) // timer, retransmits
        if (!fields.next(skipped)) return false;
    if (!fields.next(uid) || !fields.next(skipped) || !fields.next(inode)) return false; // uid, timeout, inode

    row.protocol = request.protocol;
    row.family = request.family;
    return parse_endpoint(local, request.family, row.local_address, row.local_port) &&
           parse_endpoint(remote, request.family, row.remote_address, row.remote_port) &&
           parse_hex(state, 2, row.state) && parse_queues(queues, row.send_queue, row.receive_queue) &&
           parse_number(uid, row.uid) && parse_number(inode, row.inode);
}

} // namespace

Result<void> parse_proc_net_table(std::string_view text, const TableRequest& request, SocketRows& rows) {
    std::size_t line_number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;
        if (line_number == 1) continue; // column headings
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        SocketRow row;
        if (!parse_line(line, request, row)) return Failure{EPROTO};
        if (row.protocol == Protocol::tcp && row.state == kernel_states::listen) row.send_queue_known = false;
        if (passes(request, row)) rows.push_back(row);
    }
    return {};
}

} // namespace sockscope_detail
