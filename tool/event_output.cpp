// SPDX-License-Identifier: MIT
#include "event_output.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string_view>

#include <sockscope_text/decimal.h>
#include <sockscope_text/display_width.h>
#include <sockscope_text/terminal_text.h>

#include "json_writer.h"

namespace sockscope_tool {
namespace {

using sockscope_text::append_decimal;

const char* side_name(std::uint8_t side) {
    switch (side) {
    case SOCKSCOPE_SIDE_CONNECT: return "connect";
    case SOCKSCOPE_SIDE_ACCEPT: return "accept";
    case SOCKSCOPE_SIDE_LISTEN: return "listen";
    default: return nullptr;
    }
}

const char* owner_source_name(std::uint8_t source) {
    switch (source) {
    case SOCKSCOPE_OWNER_FROM_CONNECT: return "connect";
    case SOCKSCOPE_OWNER_FROM_LISTEN: return "listen";
    case SOCKSCOPE_OWNER_FROM_ACCEPT: return "accept";
    case SOCKSCOPE_OWNER_FROM_SNAPSHOT: return "snapshot";
    case SOCKSCOPE_OWNER_FROM_CLOSE: return "close";
    case SOCKSCOPE_OWNER_FROM_FIRST_CALL: return "first_call";
    case SOCKSCOPE_OWNER_FROM_LISTENER: return "listener";
    default: return nullptr;
    }
}

std::string error_name(int error) {
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

// The end as a line shows it: one word.
std::string end_word(const sockscope_connection& record) {
    switch (record.end) {
    case SOCKSCOPE_END_OPEN: return "open";
    case SOCKSCOPE_END_NORMAL: return "normal";
    case SOCKSCOPE_END_RESET_SENT: return "reset-sent";
    case SOCKSCOPE_END_RESET_RECEIVED: return "reset-received";
    case SOCKSCOPE_END_REFUSED: return "refused";
    case SOCKSCOPE_END_TIMED_OUT: return "timed-out";
    case SOCKSCOPE_END_ABANDONED: return "abandoned";
    default: return record.error != 0 ? "failed:" + error_name(record.error) : "failed";
    }
}

std::int64_t event_time(const sockscope_connection& record) {
    return record.kind == SOCKSCOPE_CONNECTION_CLOSED ? record.closed_ns : record.opened_ns;
}

void append_three_digits(std::string& out, unsigned value) {
    out += static_cast<char>('0' + value / 100 % 10);
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

void append_clock(std::string& out, std::int64_t nanoseconds, bool utc) {
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1000000000);
    std::tm parts{};
    char clock[32] = "";
    if ((utc ? gmtime_r(&seconds, &parts) : localtime_r(&seconds, &parts)) != nullptr)
        std::strftime(clock, sizeof clock, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &parts);
    out += clock;
    out += '.';
    append_three_digits(out, static_cast<unsigned>(nanoseconds / 1000000 % 1000));
    if (utc) out += 'Z';
}

void append_end(std::string& out, const char* text, unsigned port, std::uint8_t family) {
    const bool bracket = family == AF_INET6;
    if (bracket) out += '[';
    out += text != nullptr ? text : "-";
    if (bracket) out += ']';
    out += ':';
    append_decimal(out, port);
}

// The path without the state a socket is born in (CLOSE; LISTEN for an
// accepted socket, copied from its listener), which says nothing.
void append_states(std::string& out, const sockscope_connection& record) {
    const unsigned count = record.state_count <= 16 ? record.state_count : 16;
    const std::uint8_t born = record.side == SOCKSCOPE_SIDE_ACCEPT ? SOCKSCOPE_LISTEN : SOCKSCOPE_CLOSE;
    const unsigned first = count > 1 && record.states[0] == born ? 1 : 0;
    if (count == 0) out += '-';
    for (unsigned i = first; i < count; ++i) {
        if (i > first) out += '>';
        if (i + 1 == count && i > first && (record.flags & SOCKSCOPE_CONNECTION_PATH_CUT) != 0) out += "...>";
        const char* name = sockscope_state_name(IPPROTO_TCP, record.states[i]);
        if (record.states[i] == SOCKSCOPE_ESTABLISHED) name = "ESTAB";
        out += name != nullptr ? name : "?";
    }
}

// Appends `field` padded to `width` columns (left-aligned, or right when
// `right`), then a separator; a field wider than that pushes the rest on.
void append_field(std::string& out, std::string_view field, std::size_t width, bool right, bool aligned) {
    const std::size_t columns = aligned ? sockscope_text::display_width(field) : width;
    if (right && columns < width) out.append(width - columns, ' ');
    out += field;
    if (!right && columns < width) out.append(width - columns, ' ');
    out += aligned ? "  " : " ";
}

struct Layout {
    const char* title;
    std::size_t width;
    bool right;
};

constexpr Layout layout[] = {{"Time", 12, false},   {"PID/Name", 20, false}, {"Side", 7, false},
                             {"Local", 21, false},  {"Remote", 21, false},   {"End", 14, false},
                             {"Lifetime", 8, true}, {"Sent", 9, true},       {"Received", 9, true}};

// A time in RFC 3339, UTC with milliseconds; null when not known.
void time_or_null(JsonWriter& json, std::int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        json.null();
        return;
    }
    std::string time;
    append_clock(time, nanoseconds, true);
    json.ascii(time);
}

} // namespace

void append_event_header(std::string& out) {
    for (const Layout& column : layout) append_field(out, column.title, column.width, column.right, true);
    out += "States\n";
}

void append_event_line(std::string& out, const sockscope_connection& record, bool aligned) {
    const bool closed = record.kind == SOCKSCOPE_CONNECTION_CLOSED;
    std::string field;
    std::size_t column = 0;
    const auto next = [&] {
        append_field(out, field, layout[column].width, layout[column].right, aligned);
        ++column;
        field.clear();
    };
    append_clock(field, event_time(record), false);
    next();
    if (record.pid == 0) {
        field += '-';
    } else {
        append_decimal(field, record.pid);
        field += '/';
        sockscope_text::append_escaped_utf8_name(field, record.name != nullptr ? record.name : record.comm);
    }
    next();
    const char* side = side_name(record.side);
    field += side != nullptr ? side : "-";
    next();
    append_end(field, record.local_text, record.local_port, record.family);
    next();
    append_end(field, record.remote_text, record.remote_port, record.family);
    next();
    field += end_word(record);
    next();
    if (closed)
        field += duration_text(record.lifetime_ns);
    else
        field += '-';
    next();
    if (closed) append_decimal(field, record.bytes_sent); else field += '-';
    next();
    if (closed) append_decimal(field, record.bytes_received); else field += '-';
    next();
    append_states(out, record);
    out += '\n';
}

void append_event_json(std::string& out, const sockscope_connection& record) {
    const bool closed = record.kind == SOCKSCOPE_CONNECTION_CLOSED;
    JsonWriter json(out);
    json.open_object();
    json.key("kind").ascii(closed ? "closed" : "opened");
    json.key("protocol").ascii(record.protocol == IPPROTO_TCP ? "tcp" : "udp");
    json.key("family").ascii(record.family == AF_INET ? "ipv4" : "ipv6");
    json.key("local_address").ascii(record.local_text != nullptr ? record.local_text : "");
    json.key("local_port").number(record.local_port);
    // A listener has no peer: null, as the tables give it.
    const bool peer = record.remote_port != 0 || std::any_of(std::begin(record.remote_address),
                                                             std::end(record.remote_address),
                                                             [](std::uint8_t byte) { return byte != 0; });
    if (peer)
        json.key("remote_address").ascii(record.remote_text != nullptr ? record.remote_text : "");
    else
        json.key("remote_address").null();
    json.key("remote_port").number_or_null(record.remote_port, peer);
    json.key("netns").number(record.netns);
    json.key("netns_name").text_or_null(record.netns_name);
    json.key("cookie").number(record.cookie);
    json.key("pid").number_or_null(record.pid, record.pid != 0);
    json.key("name").text_or_null(record.name);
    json.key("comm").text_or_null(record.comm);
    json.key("cgroup").text_or_null(record.cgroup);
    json.key("cgroup_id").number_or_null(record.cgroup_id, record.cgroup_id != 0);
    json.key("container").text_or_null(record.container);
    json.key("user_container").text_or_null(record.user_container);
    json.key("container_user").number_or_null(record.container_user, record.user_container != nullptr);
    json.key("side").ascii_or_null(side_name(record.side));
    json.key("owner_source").ascii_or_null(owner_source_name(record.owner_source));
    json.key("end").text_or_null(record.end_name);
    if (record.error != 0)
        json.key("error").ascii(error_name(record.error));
    else
        json.key("error").null();
    json.key("states").open_array();
    const unsigned count = record.state_count <= 16 ? record.state_count : 16;
    for (unsigned i = 0; i < count; ++i) json.ascii_or_null(sockscope_state_name(IPPROTO_TCP, record.states[i]));
    json.close_array();
    time_or_null(json.key("opened"), record.opened_ns);
    time_or_null(json.key("closed"), closed ? record.closed_ns : 0);
    json.key("lifetime_ns")
        .number_or_null(static_cast<std::uint64_t>(record.lifetime_ns), closed && record.lifetime_ns >= 0);
    json.key("bytes_sent").number_or_null(record.bytes_sent, closed);
    json.key("bytes_received").number_or_null(record.bytes_received, closed);
    json.key("closer_pid").number_or_null(record.closer_pid, record.closer_pid != 0);
    json.key("flags").open_array();
    for (const auto& [bit, name] : {std::pair<unsigned, const char*>{SOCKSCOPE_CONNECTION_OPEN_UNSEEN, "open_unseen"},
                                    {SOCKSCOPE_CONNECTION_CLOSED_IN_CALL, "closed_in_call"},
                                    {SOCKSCOPE_CONNECTION_PATH_CUT, "path_cut"}})
        if ((record.flags & bit) != 0) json.ascii(name);
    json.close_array();
    json.close_object();
    out += '\n';
}

// Built with append_decimal and +=: g++ 12's -Wrestrict takes the chains of
// string + string that do the same, inlined at -O2, for overlapping copies.
std::string duration_text(std::int64_t nanoseconds) {
    std::string text;
    if (nanoseconds < 0) {
        text += '-';
        return text;
    }
    const auto number = [&text](std::int64_t value) { append_decimal(text, static_cast<std::uint64_t>(value)); };
    const auto two_digits = [&](std::int64_t value) {
        if (value < 10) text += '0';
        number(value);
    };
    // Below ten of a unit, one decimal; a whole number from there on.
    const auto scaled = [&](std::int64_t unit, const char* suffix) {
        const std::int64_t tenths = (nanoseconds * 10 + unit / 2) / unit;
        if (tenths < 100) {
            number(tenths / 10);
            text += '.';
            number(tenths % 10);
        } else {
            number((nanoseconds + unit / 2) / unit);
        }
        text += suffix;
    };
    constexpr std::int64_t us = 1000, ms = 1000 * us, s = 1000 * ms, minute = 60 * s, hour = 60 * minute;
    if (nanoseconds < us) {
        number(nanoseconds);
        text += "ns";
    } else if (nanoseconds < ms - us / 2) {
        scaled(us, "us");
    } else if (nanoseconds < s - ms / 2) {
        scaled(ms, "ms");
    } else if (nanoseconds < minute - s / 2) {
        scaled(s, "s");
    } else if (nanoseconds < hour - s / 2) {
        const std::int64_t seconds = (nanoseconds + s / 2) / s;
        number(seconds / 60);
        text += 'm';
        two_digits(seconds % 60);
        text += 's';
    } else {
        const std::int64_t minutes = (nanoseconds + minute / 2) / minute;
        number(minutes / 60);
        text += 'h';
        two_digits(minutes % 60);
        text += 'm';
    }
    return text;
}

} // namespace sockscope_tool
