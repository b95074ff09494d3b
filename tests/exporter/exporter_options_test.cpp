// SPDX-License-Identifier: MIT
// sockscope-exporter's command line: what each takes and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "exporter_options.h"

namespace sockscope_exporter {
namespace {

ParsedExporterCommandLine parse(std::vector<std::string_view> arguments) { return parse_exporter_command_line(arguments); }

TEST(ExporterOptions, DefaultsListenOnLoopbackWithTheStream) {
    const ParsedExporterCommandLine parsed = parse({});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.listen, "127.0.0.1:9814");
    EXPECT_TRUE(parsed.options.collector.stream);
    EXPECT_FALSE(parsed.options.collector.all_namespaces);
    EXPECT_EQ(parsed.options.collector.max_label_sets, 1000u);
    EXPECT_EQ(parsed.options.collector.scrape_wait, std::chrono::seconds(5));
}

TEST(ExporterOptions, TakesEachOptionInBothSpellings) {
    const ParsedExporterCommandLine parsed =
        parse({"-A", "--no-stream", "-l", "[::1]:9000", "--max-label-sets=5", "--scrape-wait", "0"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.options.collector.all_namespaces);
    EXPECT_FALSE(parsed.options.collector.stream);
    EXPECT_EQ(parsed.options.listen, "[::1]:9000");
    EXPECT_EQ(parsed.options.collector.max_label_sets, 5u);
    EXPECT_EQ(parsed.options.collector.scrape_wait, std::chrono::seconds(0));
    EXPECT_EQ(parse({"--listen=0.0.0.0:80"}).options.listen, "0.0.0.0:80");
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"-V"}).options.version);
}

TEST(ExporterOptions, RefusesWhatItCannotServe) {
    const std::vector<std::vector<std::string_view>> refused = {
        {"--listen"},
        {"--listen", "9000"},
        {"--listen", ":9000"},
        {"--listen", "127.0.0.1:0"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", "127.0.0.1:90x"},
        {"--listen", "::1:9000"},
        {"--listen", "[]:9000"},
        {"--max-label-sets", "-1"},
        {"--max-label-sets", "1000001"},
        {"--max-label-sets"},
        {"--scrape-wait", "1.5"},
        {"--scrape-wait", "3601"},
        {"--no-stream=yes"},
        {"--bogus"},
        {"extra"},
    };
    for (const auto& arguments : refused) {
        std::string line;
        for (std::string_view argument : arguments) line += std::string(argument) + " ";
        EXPECT_NE(parse(arguments).error, "") << line;
    }
}

} // namespace
} // namespace sockscope_exporter
