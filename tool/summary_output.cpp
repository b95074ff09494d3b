// SPDX-License-Identifier: MIT
#include "summary_output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <sockscope_text/decimal.h>
#include <sockscope_text/output.h>

#include "json_writer.h"
#include "linux/file_reader.h"
#include "linux/proc_fs.h"

namespace sockscope_tool {

namespace {

using sockscope_detail::SocketSummary;

// The files are a few hundred bytes; one far larger is no kernel's.
constexpr std::size_t file_limit = 1 << 20;

// A row of the table: a transport's sockets, in all and per family.
struct TransportRow {
    const char* name; // in the table
    const char* key;  // in JSON
    std::uint64_t ipv4, ipv6;
};

std::array<TransportRow, 5> transport_rows(const SocketSummary& c) {
    return {{
        {"RAW", "raw", c.raw4, c.raw6},
        {"UDP", "udp", c.udp4, c.udp6},
        {"TCP", "tcp", c.tcp4, c.tcp6},
        {"INET", "inet", c.raw4 + c.udp4 + c.tcp4, c.raw6 + c.udp6 + c.tcp6},
        {"FRAG", "frag", c.frag4, c.frag6},
    }};
}

std::string decimal(std::uint64_t value) {
    std::string text;
    sockscope_text::append_decimal(text, value);
    return text;
}

} // namespace

SummaryFailure read_summary(const char* proc, NamespaceSummary& summary) {
    using namespace sockscope_detail;
    const ProcRoot root(proc);
    const Result<int> fd = root.fd();
    if (!fd) return {std::string("cannot open ") + proc, fd.error()};
    std::string sockstat, sockstat6, snmp;
    const auto read = [&](const char* name, std::string& text) -> Result<void> {
        return read_file_at(*fd, name, text, file_limit);
    };
    const auto cannot_read = [&](const char* name, int error) {
        return SummaryFailure{std::string("cannot read ") + proc + "/" + name, error};
    };
    if (const Result<void> got = read("net/sockstat", sockstat); !got) return cannot_read("net/sockstat", got.error());
    if (const Result<void> got = read("net/snmp", snmp); !got) return cannot_read("net/snmp", got.error());
    const Result<void> got6 = read("net/sockstat6", sockstat6);
    if (!got6 && got6.error() != ENOENT) return cannot_read("net/sockstat6", got6.error());
    const std::optional<std::string_view> six =
        got6 ? std::optional<std::string_view>(sockstat6) : std::nullopt;

    NamespaceSummary read_whole;
    if (std::string fault = parse_socket_summary(sockstat, six, snmp, read_whole.counts); !fault.empty())
        return {std::string(proc) + "/net/" + fault, 0};
    // The namespace of the files: this process's, which self/net shows
    // (its inode, as the tables give it; 0 when /proc can't say).
    struct stat own {};
    if (::fstatat(*fd, "self/ns/net", &own, 0) == 0) read_whole.netns = own.st_ino;
    summary = read_whole;
    return {};
}

void append_summary_text(std::string& out, const NamespaceSummary& summary) {
    const SocketSummary& c = summary.counts;
    out += "Sockets: " + decimal(c.sockets_used) + " (every family)";
    out += summary.netns != 0 ? " in network namespace " + decimal(summary.netns) : " in this network namespace";
    out += "\nTCP:     " + decimal(c.tcp_total()) + " in all*: " + decimal(c.tcp_established) + " established, " +
           std::to_string(c.tcp_closed()) + " closed*, " + decimal(c.tcp_orphans) + " orphaned*, " +
           decimal(c.tcp_time_wait) + " in TIME_WAIT\n\n";

    // Right-aligned numbers under their headers, each column as wide as
    // its widest cell.
    const auto rows = transport_rows(c);
    const std::array<const char*, 4> headers{"Transport", "Total", "IPv4", "IPv6"};
    std::vector<std::array<std::string, 4>> cells;
    cells.push_back({headers[0], headers[1], headers[2], headers[3]});
    for (const TransportRow& row : rows)
        cells.push_back({row.name, decimal(row.ipv4 + row.ipv6), decimal(row.ipv4),
                         c.has_ipv6 ? decimal(row.ipv6) : "-"});
    std::array<std::size_t, 4> widths{};
    for (const auto& line : cells)
        for (std::size_t i = 0; i < widths.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    for (const auto& line : cells) {
        out += line[0];
        out.append(widths[0] - line[0].size(), ' ');
        for (std::size_t i = 1; i < widths.size(); ++i) {
            out.append(2 + widths[i] - line[i].size(), ' ');
            out += line[i];
        }
        out += '\n';
    }
    out += "\n* of the whole machine's TCP sockets, not this namespace's alone\n";
}

void append_summary_json(std::string& out, const NamespaceSummary& summary) {
    const SocketSummary& c = summary.counts;
    JsonWriter json(out);
    json.open_object();
    json.key("netns").number_or_null(summary.netns, summary.netns != 0);
    json.key("sockets").number(c.sockets_used);
    json.key("tcp_total").number(c.tcp_total());
    json.key("tcp_allocated").number(c.tcp_allocated);
    json.key("tcp_established").number(c.tcp_established);
    json.key("tcp_closed").signed_number(c.tcp_closed());
    json.key("tcp_orphaned").number(c.tcp_orphans);
    json.key("tcp_time_wait").number(c.tcp_time_wait);
    for (const TransportRow& row : transport_rows(c)) {
        json.key(row.key).open_object();
        json.key("total").number(row.ipv4 + row.ipv6);
        json.key("ipv4").number(row.ipv4);
        json.key("ipv6").number_or_null(row.ipv6, c.has_ipv6);
        json.close_object();
    }
    json.close_object();
    out += '\n';
}

int run_summary(const Options& options) {
    constexpr const char* program = "sockscope";
    NamespaceSummary summary;
    if (const SummaryFailure failure = read_summary("/proc", summary); !failure.what.empty()) {
        sockscope_text::report_error(program, failure.what, failure.error);
        return 1;
    }
    if (options.all_namespaces)
        sockscope_text::report_error(program,
                                     "note: the summary stays with this process's network namespace: the kernel "
                                     "keeps its socket counts per namespace",
                                     0);
    std::string out;
    if (options.json)
        append_summary_json(out, summary);
    else
        append_summary_text(out, summary);
    if (const int error = sockscope_text::write_all(STDOUT_FILENO, out); error != 0) {
        sockscope_text::report_error(program, "cannot write the output", error);
        return 1;
    }
    return 0;
}

} // namespace sockscope_tool
