// SPDX-License-Identifier: MIT
// The command line of the sockscope tool.
#include <gtest/gtest.h>

#include "options.h"

using namespace sockscope_tool;

namespace {

ParsedCommandLine parse(std::vector<std::string> arguments) { return parse_command_line(arguments); }

TEST(ToolOptions, NothingMeansEveryTcpSocketOfBothFamiliesAsText) {
    const auto parsed = parse({});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_TRUE(o.wants_tcp());
    EXPECT_FALSE(o.wants_udp());
    EXPECT_TRUE(o.wants_ipv4());
    EXPECT_TRUE(o.wants_ipv6());
    EXPECT_FALSE(o.listening || o.json || o.help || o.version);
    EXPECT_FALSE(o.port || o.pid || o.name || o.watch);
}

TEST(ToolOptions, TablesAndFamilies) {
    EXPECT_FALSE(parse({"-u"}).options.wants_tcp());
    EXPECT_TRUE(parse({"-u"}).options.wants_udp());
    const Options both = parse({"-t", "--udp"}).options;
    EXPECT_TRUE(both.wants_tcp() && both.wants_udp());
    const Options four = parse({"-4"}).options;
    EXPECT_TRUE(four.wants_ipv4());
    EXPECT_FALSE(four.wants_ipv6());
    const Options six = parse({"--ipv6"}).options;
    EXPECT_FALSE(six.wants_ipv4());
    EXPECT_TRUE(six.wants_ipv6());
    const Options four_and_six = parse({"-46"}).options;
    EXPECT_TRUE(four_and_six.wants_ipv4() && four_and_six.wants_ipv6());
}

TEST(ToolOptions, ShortOptionsBundleAndTheFamiliarTanpIsAccepted) {
    const auto parsed = parse({"-tanp"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.options.wants_tcp());
    EXPECT_FALSE(parsed.options.listening);
    const Options o = parse({"-lu4"}).options;
    EXPECT_TRUE(o.listening && o.udp && o.ipv4);
}

TEST(ToolOptions, ValuesFollowOrComeAfterAnEqualsSign) {
    const auto parsed = parse({"--port", "443", "--pid=4294967295", "--name", "Web Content", "--watch=0.5", "--json"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.port, 443);
    EXPECT_EQ(o.pid, 4294967295u);
    EXPECT_EQ(o.name, "Web Content");
    EXPECT_EQ(o.watch, std::chrono::milliseconds(500));
    EXPECT_TRUE(o.json);
    EXPECT_EQ(parse({"--pid", "0"}).options.pid, 0u);
    EXPECT_EQ(parse({"--watch", "2"}).options.watch, std::chrono::milliseconds(2000));
    EXPECT_EQ(parse({"--name=-x"}).options.name, "-x");
    EXPECT_EQ(parse({"--name", "--json"}).options.name, "--json");
}

TEST(ToolOptions, BadCommandLinesSayWhatIsWrong) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x"}, "unknown option '-x'"},
        {{"-tx"}, "unknown option '-x'"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--json=yes"}, "--json takes no value"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--", "stray"}, "unexpected argument 'stray'"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port needs a port number from 1 to 65535"},
        {{"--port", "65536"}, "--port needs a port number from 1 to 65535"},
        {{"--port", "-1"}, "--port needs a port number from 1 to 65535"},
        {{"--port", "80x"}, "--port needs a port number from 1 to 65535"},
        {{"--port", ""}, "--port needs a port number from 1 to 65535"},
        {{"--pid", "4294967296"}, "--pid needs a process id"},
        {{"--pid", "+5"}, "--pid needs a process id"},
        {{"--name", ""}, "--name needs a name"},
        {{"--watch", "0"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "0.05"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "1e9"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "nan"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "2s"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--port", "1", "--port", "2"}, "--port given twice"},
    };
    for (const auto& [arguments, error] : cases) EXPECT_EQ(parse(arguments).error, error) << arguments.front();
    EXPECT_EQ(parse({"--"}).error, "");
}

TEST(ToolOptions, HelpAndVersion) {
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"-h"}).options.help);
    EXPECT_TRUE(parse({"--version"}).options.version);
    EXPECT_TRUE(parse({"-V"}).options.version);
    // Every option the parser takes is in the help.
    for (const char* option : {"--tcp", "--udp", "--ipv4", "--ipv6", "--listening", "--port", "--pid", "--name",
                               "--json", "--watch", "--help", "--version", "-a, -n, -p"})
        EXPECT_NE(std::string(help_text).find(option), std::string::npos) << option;
}

} // namespace
