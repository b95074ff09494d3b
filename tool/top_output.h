// SPDX-License-Identifier: MIT
// --top's frames: a table of owners, busiest first, that fits the
// terminal (no line longer than its width, no more lines than its height),
// and --json's line per interval. No system calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "traffic_keys.h"
#include "traffic_ledger.h"

namespace sockscope_tool {

struct TopFrame {
    TrafficGrouping grouping = TrafficGrouping::process;
    std::chrono::milliseconds interval{1000};
    double seconds = 1.0;     // measured between the two looks
    bool stream = false;      // closed connections' bytes from the stream
    std::uint64_t lost = 0;   // records the stream lost in the interval
    std::vector<TrafficRates> rates; // busiest first
};

// "1.5 kB/s" style: bytes a second in decimal units, three significant
// figures at most, never wider than 9 columns.
std::string rate_text(double bytes_per_second);

// The terminal's frame: a title line, a note line, the header and as many
// rows as `rows` lines allow, each line cut to `columns`; lines end "\r\n"
// (the terminal is in raw mode).
std::string top_screen(const TopFrame& frame, const std::string& clock, std::size_t rows, std::size_t columns);

// One line of --json (ending "\n").
std::string top_json_line(const TopFrame& frame, const std::string& time);

} // namespace sockscope_tool
