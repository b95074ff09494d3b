// SPDX-License-Identifier: MIT
#include "top_output.h"

#include <cmath>
#include <cstdio>

#include "json_writer.h"

namespace sockscope_tool {

namespace {

std::string decimal_text(double value, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return text;
}

// Pads or cuts `text` to `width` columns (owner names are UTF-8: cut at a
// character's start, and count each character as one column).
std::string column(const std::string& text, std::size_t width, bool right = false) {
    std::string out;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size() && shown < width; ++shown) {
        std::size_t length = 1;
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xF0) length = 4;
        else if (lead >= 0xE0) length = 3;
        else if (lead >= 0xC0) length = 2;
        out.append(text, i, length);
        i += length;
    }
    const std::string pad(width - shown, ' ');
    return right ? pad + out : out + pad;
}

std::string container_text(const TrafficKey& key) {
    if (key.overflow) return "(others)";
    // 64 hex digits shown as 12, as container tools show them.
    if (key.container.size() == 64) return key.container.substr(0, 12);
    return key.container.empty() ? "-" : key.container;
}

} // namespace

std::string rate_text(double bytes_per_second) {
    static const char* const units[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
    double value = bytes_per_second < 0 ? 0 : bytes_per_second;
    std::size_t unit = 0;
    while (value >= 999.5 && unit + 1 < std::size(units)) {
        value /= 1000;
        ++unit;
    }
    const int places = unit == 0 || value >= 99.95 ? 0 : value >= 9.995 ? 1 : 2;
    return decimal_text(value, places) + " " + units[unit];
}

std::string top_screen(const TopFrame& frame, const std::string& clock, std::size_t rows, std::size_t columns) {
    std::string out;
    const auto line = [&](const std::string& text) {
        // Trailing blanks are left out, so a narrow terminal never wraps.
        std::string cut = column(text, columns);
        while (!cut.empty() && cut.back() == ' ') cut.pop_back();
        out += cut;
        out += "\r\n";
    };
    const char* by = frame.grouping == TrafficGrouping::container ? "container" : "process";
    line("sockscope --top by " + std::string(by) + ", every " + decimal_text(frame.interval.count() / 1000.0, 1) +
         " s  " + clock + "  (q to quit)");
    if (frame.stream)
        line(frame.lost != 0 ? "connections closed between two looks counted; " + std::to_string(frame.lost) +
                                   " records lost"
                             : "connections closed between two looks counted");
    else
        line("no connection stream (needs CAP_BPF and CAP_PERFMON): only connections that live across a look");
    const bool by_process = frame.grouping == TrafficGrouping::process;
    const std::string header =
        (by_process ? column("PID", 8) + column("NAME", 16) : std::string()) + column("CONTAINER", 13) +
        column("OPEN", 7, true) + column("OPENED/s", 10, true) + column("CLOSED/s", 10, true) +
        column("SENT", 11, true) + column("RECEIVED", 11, true);
    line(header);
    const std::size_t room = rows > 3 ? rows - 3 : 0;
    for (std::size_t i = 0; i < frame.rates.size() && i < room; ++i) {
        const TrafficRates& r = frame.rates[i];
        std::string row;
        if (by_process) {
            row += column(r.key.overflow ? "-" : r.key.pid == 0 ? "-" : std::to_string(r.key.pid), 8);
            row += column(r.key.overflow ? "(others)" : r.key.name.empty() ? "-" : r.key.name, 15) + " ";
        }
        row += column(container_text(r.key), 12) + " ";
        row += column(std::to_string(r.open), 7, true);
        row += column(decimal_text(r.opened, 1), 10, true) + column(decimal_text(r.closed, 1), 10, true);
        row += column(rate_text(r.bytes_sent), 11, true) + column(rate_text(r.bytes_received), 11, true);
        line(row);
    }
    return out;
}

std::string top_json_line(const TopFrame& frame, const std::string& time) {
    std::string out;
    JsonWriter json(out);
    json.open_object();
    json.key("time").ascii(time);
    json.key("seconds").decimal(frame.seconds, 3);
    json.key("stream").boolean(frame.stream);
    json.key("lost").number(frame.lost);
    json.key("rows").open_array();
    for (const TrafficRates& r : frame.rates) {
        json.open_object();
        if (frame.grouping == TrafficGrouping::process) {
            json.key("pid").number_or_null(r.key.pid, r.key.pid != 0);
            json.key("name").text_or_null(r.key.name.empty() ? nullptr : r.key.name.c_str());
        }
        json.key("container").text_or_null(r.key.container.empty() ? nullptr : r.key.container.c_str());
        json.key("others").boolean(r.key.overflow);
        json.key("open").number(r.open);
        json.key("opened_per_second").decimal(r.opened, 2);
        json.key("closed_per_second").decimal(r.closed, 2);
        json.key("sent_bytes_per_second").number(static_cast<std::uint64_t>(std::llround(r.bytes_sent)));
        json.key("received_bytes_per_second").number(static_cast<std::uint64_t>(std::llround(r.bytes_received)));
        json.close_object();
    }
    json.close_array();
    json.close_object();
    out += '\n';
    return out;
}

} // namespace sockscope_tool
