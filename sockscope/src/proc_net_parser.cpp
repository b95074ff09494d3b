#include "proc_net_parser.h"

#include <cstdint>

#include "tcp_state.h"

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

bool parse_hex(std::string_view text, std::size_t max_digits, std::uint64_t& value) {
    if (text.empty() || text.size() > max_digits) return false;
    value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else return false;
        value = (value << 4) | digit;
    }
    return true;
}

bool parse_decimal(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// "0100007F:1F90" -> the raw address field and the port in network layout.
bool parse_endpoint(std::string_view text, std::uint32_t& address, std::uint32_t& port) {
    const auto colon = text.find(':');
    if (colon != 8) return false;
    std::uint64_t raw_address, host_port;
    if (!parse_hex(text.substr(0, colon), 8, raw_address) || !parse_hex(text.substr(colon + 1), 4, host_port))
        return false;
    address = static_cast<std::uint32_t>(raw_address);
    port = static_cast<std::uint32_t>(((host_port & 0xFF) << 8) | (host_port >> 8));
    return true;
}

bool parse_line(std::string_view line, Protocol protocol, SocketRow& row) {
    Fields fields(line);
    std::string_view slot, local, remote, state, skipped, inode;
    if (!fields.next(slot) || slot.empty() || slot.back() != ':') return false;
    if (!fields.next(local) || !fields.next(remote) || !fields.next(state)) return false;
    for (int i = 0; i < 5; ++i) // queues, timer, retransmits, uid, timeout
        if (!fields.next(skipped)) return false;
    if (!fields.next(inode)) return false;

    std::uint64_t kernel_state, inode_number;
    if (!parse_endpoint(local, row.local_address, row.local_port) ||
        !parse_endpoint(remote, row.remote_address, row.remote_port) ||
        !parse_hex(state, 2, kernel_state) || !parse_decimal(inode, inode_number))
        return false;
    row.inode = inode_number;
    row.owner = 0;
    if (protocol == Protocol::tcp) {
        row.state = state_from_kernel(static_cast<unsigned>(kernel_state));
    } else {
        row.state = 0;
        row.remote_address = 0; // the table shows a connected UDP peer; rows carry none
        row.remote_port = 0;
    }
    return true;
}

} // namespace

bool parse_proc_net_table(std::string_view text, Protocol protocol, std::vector<SocketRow>& rows,
                          std::string& error) {
    std::size_t line_number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;
        if (line_number == 1) continue; // column headings
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        SocketRow row;
        if (!parse_line(line, protocol, row)) {
            error = "malformed line " + std::to_string(line_number) + ": " + std::string(line.substr(0, 160));
            return false;
        }
        rows.push_back(row);
    }
    return true;
}

} // namespace sockscope_detail
