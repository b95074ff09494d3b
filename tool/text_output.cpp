// SPDX-License-Identifier: MIT
#include "text_output.h"

#include <algorithm>
#include <array>

#include <sockscope_text/decimal.h>
#include <sockscope_text/terminal_text.h>

namespace sockscope_tool {
namespace {

constexpr std::size_t column_count = 8;
using Cells = std::array<std::string, column_count>;

const std::string absent = "-";

std::string decimal(std::uint32_t value) {
    std::string text;
    sockscope_text::append_decimal(text, value);
    return text;
}

// "tcp", "udp", "tcp6", "udp6", as the Proto column shows them.
const char* protocol_column(const ListedSocket& row) {
    if (row.protocol == ListedSocket::Protocol::tcp) return row.family == ListedSocket::Family::ipv4 ? "tcp" : "tcp6";
    return row.family == ListedSocket::Family::ipv4 ? "udp" : "udp6";
}

Cells cells_of(const ListedSocket& row) {
    return {protocol_column(row),
            row.local_address.empty() ? absent : row.local_address,
            decimal(row.local_port),
            row.remote_address ? *row.remote_address : absent,
            row.remote_port ? decimal(*row.remote_port) : absent,
            row.state ? *row.state : absent,
            row.pid != 0 ? decimal(row.pid) : absent,
            sockscope_text::escaped_name(row.name ? row.name->c_str() : nullptr)};
}

constexpr bool right_aligned[column_count] = {false, false, true, false, true, false, true, false};

} // namespace

void append_plain_line(std::string& out, const ListedSocket& row) {
    const Cells cells = cells_of(row);
    for (std::size_t i = 0; i < column_count; ++i) {
        if (i > 0) out += ' ';
        out += cells[i];
    }
    out += '\n';
}

std::vector<std::string> table_lines(const std::vector<ListedSocket>& rows) {
    std::vector<Cells> table;
    table.reserve(rows.size() + 1);
    table.push_back({"Proto", "Local Address", "Port", "Remote Address", "Port", "State", "PID", "Name"});
    for (const auto& row : rows) table.push_back(cells_of(row));

    std::array<std::size_t, column_count> width{};
    for (const auto& cells : table)
        for (std::size_t i = 0; i + 1 < column_count; ++i) width[i] = std::max(width[i], cells[i].size());

    std::vector<std::string> lines;
    lines.reserve(table.size());
    for (const auto& cells : table) {
        std::string line;
        for (std::size_t i = 0; i < column_count; ++i) {
            const std::string& cell = cells[i];
            const std::size_t padding = i + 1 < column_count ? width[i] - cell.size() : 0;
            if (i > 0) line += "  ";
            if (right_aligned[i]) line.append(padding, ' ');
            line += cell;
            if (!right_aligned[i] && i + 1 < column_count) line.append(padding, ' ');
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string terminal_frame(const std::string& title, const std::vector<std::string>& lines, unsigned screen_rows) {
    // Line wrapping is off while the frame is drawn, so that a line wider
    // than the screen takes one row (the terminal clips it) and the frame
    // never scrolls.
    constexpr const char* wrap_off_and_home = "\033[?7l\033[H";
    constexpr const char* clear_line = "\033[K";
    constexpr const char* clear_below_and_wrap_on = "\033[J\033[?7h";
    std::size_t shown = lines.size();
    // The title, the lines, and the line that counts the rest, all without
    // scrolling: the cursor stays on the last line written.
    if (screen_rows > 0 && lines.size() + 1 > screen_rows - 1)
        shown = screen_rows >= 3 ? screen_rows - 3 : 0;
    std::string frame = wrap_off_and_home;
    frame += title;
    frame += clear_line;
    for (std::size_t i = 0; i < shown; ++i) {
        frame += '\n';
        frame += lines[i];
        frame += clear_line;
    }
    if (shown < lines.size()) {
        frame += '\n';
        frame += '(';
        frame += std::to_string(lines.size() - shown);
        frame += " more lines; narrow with -l, --port, --pid or --name)";
        frame += clear_line;
    }
    frame += '\n';
    frame += clear_below_and_wrap_on;
    return frame;
}

} // namespace sockscope_tool
