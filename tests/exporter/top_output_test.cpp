// SPDX-License-Identifier: MIT
// --top's text: rates in decimal units, a screen that fits the terminal
// whatever its size, and the JSON line's members.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/json_reader.h"
#include "top_output.h"

namespace sockscope_tool {
namespace {

TEST(TopOutput, RatesInDecimalUnitsAtMostNineColumns) {
    const std::pair<double, const char*> cases[] = {
        {0, "0 B/s"},          {999, "999 B/s"},       {999.6, "1.00 kB/s"},  {1500, "1.50 kB/s"},
        {15000, "15.0 kB/s"},  {150000, "150 kB/s"},   {2.5e6, "2.50 MB/s"},  {7.2e9, "7.20 GB/s"},
        {3e15, "3000 TB/s"},   {-5, "0 B/s"},
    };
    for (const auto& [rate, text] : cases) {
        EXPECT_EQ(rate_text(rate), text) << rate;
        EXPECT_LE(rate_text(rate).size(), 9u) << rate;
    }
}

TopFrame frame_of(std::size_t owners, TrafficGrouping grouping) {
    TopFrame frame;
    frame.grouping = grouping;
    for (std::size_t i = 0; i < owners; ++i)
        frame.rates.push_back({{static_cast<std::uint32_t>(1000 + i), "a-rather-long-process-name-\xc3\xa9t\xc3\xa9",
                                std::string(64, 'f'), false},
                               i, 1.5, 0.5, 123456.0, 7.0});
    return frame;
}

std::vector<std::string> lines_of(const std::string& screen) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < screen.size();) {
        const std::size_t end = screen.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "every line ends \\r\\n";
        if (end == std::string::npos) break;
        lines.push_back(screen.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::size_t columns_of(const std::string& line) {
    std::size_t columns = 0;
    for (const char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return columns;
}

TEST(TopOutput, TheScreenFitsTheTerminal) {
    const struct {
        std::size_t rows, columns, owners;
        TrafficGrouping grouping;
    } cases[] = {
        {24, 80, 50, TrafficGrouping::process}, {24, 80, 2, TrafficGrouping::process},
        {5, 20, 10, TrafficGrouping::process},  {3, 200, 10, TrafficGrouping::container},
        {1, 1, 10, TrafficGrouping::process},   {50, 120, 0, TrafficGrouping::container},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = lines_of(top_screen(frame_of(c.owners, c.grouping), "12:00:00", c.rows, c.columns));
        const std::size_t expected_rows = std::min(c.owners, c.rows > 3 ? c.rows - 3 : 0) + 3;
        EXPECT_EQ(lines.size(), expected_rows) << c.rows << "x" << c.columns;
        for (const std::string& line : lines) EXPECT_LE(columns_of(line), c.columns) << line;
    }
    const std::vector<std::string> wide = lines_of(top_screen(frame_of(1, TrafficGrouping::process), "12:00:00", 24, 200));
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_NE(wide[2].find("PID"), std::string::npos);
    EXPECT_NE(wide[3].find("1000"), std::string::npos);
    EXPECT_NE(wide[3].find("ffffffffffff "), std::string::npos) << "a container id shown as 12 digits";
    EXPECT_NE(wide[3].find("123 kB/s"), std::string::npos);
    EXPECT_EQ(lines_of(top_screen(frame_of(1, TrafficGrouping::container), "t", 24, 200))[2].find("PID"),
              std::string::npos);
}

TEST(TopOutput, TheJsonLineHasEveryRowWithItsRates) {
    TopFrame frame = frame_of(2, TrafficGrouping::process);
    frame.rates[1].key = {0, "", "", true};
    frame.stream = true;
    frame.seconds = 1.0004;
    const std::string line = top_json_line(frame, "2026-01-01T00:00:00.000Z");
    ASSERT_EQ(line.back(), '\n');
    const std::optional<sockscope_test::JsonValue> parsed = sockscope_test::parse_json(line.substr(0, line.size() - 1));
    ASSERT_TRUE(parsed.has_value()) << line;
    EXPECT_NE(line.find("\"seconds\":1.000"), std::string::npos) << line;
    EXPECT_NE(line.find("\"stream\":true"), std::string::npos) << line;
    EXPECT_NE(line.find("\"pid\":1000,\"name\":\"a-rather-long-process-name-\xc3\xa9t\xc3\xa9\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"sent_bytes_per_second\":123456"), std::string::npos) << line;
    EXPECT_NE(line.find("\"opened_per_second\":1.50"), std::string::npos) << line;
    EXPECT_NE(line.find("\"pid\":null,\"name\":null,\"container\":null,\"others\":true"), std::string::npos) << line;
    frame.grouping = TrafficGrouping::container;
    EXPECT_EQ(top_json_line(frame, "t").find("\"pid\""), std::string::npos);
}

} // namespace
} // namespace sockscope_tool
