// SPDX-License-Identifier: MIT
// The command line of the sockscope tool.
#include <cctype>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <set>

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
    EXPECT_FALSE(o.listening || o.extended || o.json || o.help || o.version);
    EXPECT_FALSE(!o.ports.empty() || !o.pids.empty() || o.name || o.states != 0 || o.watch);
    EXPECT_FALSE(o.every_namespace());
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
    const Options o = parse({"-lu4e"}).options;
    EXPECT_TRUE(o.listening && o.udp && o.ipv4 && o.extended);
    EXPECT_TRUE(parse({"--extended"}).options.extended);
}

TEST(ToolOptions, ValuesFollowOrComeAfterAnEqualsSign) {
    const auto parsed = parse({"--port", "443", "--pid=4294967295", "--name", "Web Content", "--watch=0.5", "--json"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.ports, std::vector<std::uint16_t>{443});
    EXPECT_EQ(o.pids, std::vector<std::uint32_t>{4294967295u});
    EXPECT_EQ(o.name, "Web Content");
    EXPECT_EQ(o.watch, std::chrono::milliseconds(500));
    EXPECT_TRUE(o.json);
    EXPECT_EQ(parse({"--pid", "0"}).options.pids, std::vector<std::uint32_t>{0});
    EXPECT_EQ(parse({"--watch", "2"}).options.watch, std::chrono::milliseconds(2000));
    EXPECT_EQ(parse({"--name=-x"}).options.name, "-x");
    EXPECT_EQ(parse({"--name", "--json"}).options.name, "--json");
    // -A, and the two filters that imply it.
    EXPECT_TRUE(parse({"-lA"}).options.every_namespace());
    EXPECT_TRUE(parse({"--all-namespaces"}).options.all_namespaces);
    const Options ns = parse({"--netns", "blue"}).options;
    EXPECT_TRUE(ns.netns == "blue" && !ns.all_namespaces && ns.every_namespace());
    const Options container = parse({"--container=AbC"}).options;
    EXPECT_TRUE(container.container == "AbC" && container.every_namespace());
}

TEST(ToolOptions, PortsPidsAndStatesTakeListsAndRepeat) {
    const auto parsed = parse({"--port", "80,443", "--port=53", "--pid", "1,2", "--pid", "3", "--state", "listen,ESTAB",
                               "--state", "time-wait"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.ports, (std::vector<std::uint16_t>{80, 443, 53}));
    EXPECT_EQ(parsed.options.pids, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(parsed.options.states, (1u << 10) | (1u << 1) | (1u << 6));
}

// Words that are no options, between options too and after "--", make
// the filter expression, joined by blanks (the library checks it).
TEST(ToolOptions, OtherWordsMakeTheExpression) {
    const auto parsed = parse({"-t", "state", "established", "-4", "( dport = :22", ")", "--", "-x"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.expression, "state established ( dport = :22 ) -x");
    EXPECT_TRUE(parsed.options.ipv4);
}

TEST(ToolOptions, BadCommandLinesSayWhatIsWrong) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x"}, "unknown option '-x'"},
        {{"-tx"}, "unknown option '-x'"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--list"}, "unknown option '--list'"}, // no start of a name for the name
        {{"--e", "1"}, "unknown option '--e'"},
        {{"--port80"}, "unknown option '--port80'"},
        {{"-t-"}, "unknown option '--'"},
        {{"--tracked"}, "--tracked needs a value"},
        {{"--watch", "1", "--watch=2"}, "--watch given twice"},
        {{"--json=yes"}, "--json takes no value"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port needs port numbers from 1 to 65535"},
        {{"--port", "65536"}, "--port needs port numbers from 1 to 65535"},
        {{"--port", "-1"}, "--port needs port numbers from 1 to 65535"},
        {{"--port", "80x"}, "--port needs port numbers from 1 to 65535"},
        {{"--port", ""}, "--port needs port numbers from 1 to 65535"},
        {{"--port", "80,"}, "--port needs port numbers from 1 to 65535"},
        {{"--port", "80,,443"}, "--port needs port numbers from 1 to 65535"},
        {{"--pid", "4294967296"}, "--pid needs process ids"},
        {{"--pid", "+5"}, "--pid needs process ids"},
        {{"--pid", "5,"}, "--pid needs process ids"},
        {{"--state", "listen,open"}, "--state: no state is named 'open' (see --help)"},
        {{"--state", ""}, "--state: no state is named '' (see --help)"},
        {{"--name", ""}, "--name needs a name"},
        {{"--watch", "0"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "0.05"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "1e9"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "nan"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--watch", "2s"}, "--watch needs a number of seconds from 0.1 to 86400"},
        {{"--name", "a", "--name", "b"}, "--name given twice"},
        {{"--netns", ""}, "--netns needs a value"},
        {{"--container="}, "--container needs a value"},
        {{"--container", "a", "--container", "b"}, "--container given twice"},
    };
    for (const auto& [arguments, error] : cases) EXPECT_EQ(parse(arguments).error, error) << arguments.front();
    EXPECT_EQ(parse({"--"}).error, "");
}

TEST(ToolOptions, EventsTakeTheirOwnOptionsAndRefuseTheTables) {
    const Options events =
        parse({"--events", "-4A", "--opens", "--debug", "--container=abc", "--tracked", "100000", "--port", "443"}).options;
    EXPECT_TRUE(events.events && events.opens && events.debug && events.all_namespaces);
    EXPECT_EQ(events.container, "abc");
    EXPECT_EQ(events.tracked, 100000u);
    EXPECT_EQ(parse({"--events", "--netns", "4026531840"}).options.netns, "4026531840");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--events", "-u"}, "--events reports TCP connections only (no -u)"},
        {{"--events", "--state", "listen"},
         "--state makes no sense with --events (a record has every state it went through)"},
        {{"--events", "--netns", "../x"}, "--netns needs a name from /run/netns or an inode number"},
        {{"--events", "--tracked", "0"}, "--tracked needs a number of sockets from 1 to 4194304"},
        {{"--events", "--tracked", "4194305"}, "--tracked needs a number of sockets from 1 to 4194304"},
        {{"--events", "--container"}, "--container needs a value"},
        {{"--opens"}, "--opens works with --events only"},
    };
    for (const auto& [arguments, error] : cases) EXPECT_EQ(parse(arguments).error, error) << arguments.back();
}

TEST(ToolOptions, TheSummaryTakesItsFewOptionsAndRefusesTheRest) {
    const Options summary = parse({"-sA", "--json", "-anp"}).options;
    EXPECT_TRUE(summary.summary && summary.all_namespaces && summary.json);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-4s"}, "--ipv4 makes no sense with --summary (it counts every socket)"},
        {{"--summary", "--port", "22"}, "--port makes no sense with --summary (it counts every socket)"},
        {{"-s", "--watch", "1"}, "--watch makes no sense with --summary (it counts every socket)"},
        {{"--events", "-s"}, "--summary makes no sense with --events"},
        {{"-s", "dport", "=", ":22"}, "a filter expression selects from the tables, not --summary"},
    };
    for (const auto& [arguments, error] : cases) EXPECT_EQ(parse(arguments).error, error) << arguments.back();
}

TEST(ToolOptions, TopTakesItsOwnOptionsAndRefusesTheRest) {
    const Options top = parse({"--top", "-tu4A", "--by", "container", "--interval=0.5", "--json"}).options;
    EXPECT_TRUE(top.top && top.all_namespaces && top.json && top.by_container && top.wants_udp());
    EXPECT_EQ(top.interval, std::chrono::milliseconds(500));
    EXPECT_EQ(parse({"--top"}).options.interval, std::chrono::milliseconds(1000));
    EXPECT_FALSE(parse({"--top", "--by=process"}).options.by_container);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--top", "--by", "pid"}, "--by needs process or container"},
        {{"--top", "--interval", "0.05"}, "--interval needs a number of seconds from 0.1 to 3600"},
        {{"--top", "--interval", "3601"}, "--interval needs a number of seconds from 0.1 to 3600"},
        {{"--top", "--top"}, "--top given twice"},
        {{"--interval", "2"}, "--interval works with --top only"},
        {{"--by", "container"}, "--by works with --top only"},
        {{"--top", "--port", "22"}, "--port makes no sense with --top"},
        {{"--top", "--watch", "1"}, "--watch makes no sense with --top"},
        {{"--top", "--events"}, "--events makes no sense with --top"},
        {{"--top", "-s"}, "--top makes no sense with --summary (it counts every socket)"},
        {{"--top", "-l"}, "--listening makes no sense with --top"},
        {{"--top", "dport", "=", ":22"}, "a filter expression makes no sense with --top"},
    };
    for (const auto& [arguments, error] : cases) EXPECT_EQ(parse(arguments).error, error) << arguments.back();
}

TEST(ToolOptions, HelpAndVersion) {
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"-h"}).options.help);
    EXPECT_TRUE(parse({"--version"}).options.version);
    EXPECT_TRUE(parse({"-V"}).options.version);
}

// Whether `text` has `option` not as part of a longer option or word.
bool names(const std::string& text, const std::string& option) {
    const auto part_of_name = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    for (std::size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
        const std::size_t end = at + option.size();
        if ((at == 0 || !part_of_name(text[at - 1])) && (end == text.size() || !part_of_name(text[end]))) return true;
    }
    return false;
}

// The table of options makes the parser and --help; the manual page is
// written by hand, and must name the same options.
TEST(ToolOptions, EveryOptionOfTheTableIsParsedAndDocumentedAndNoOther) {
    std::ifstream file(SOCKSCOPE_MANUAL_PAGE);
    ASSERT_TRUE(file) << SOCKSCOPE_MANUAL_PAGE;
    const std::string manual = std::regex_replace(std::string(std::istreambuf_iterator<char>(file), {}),
                                                  std::regex(R"(\\-)"), "-");
    const std::string help = help_text();
    std::set<std::string> long_names;
    for (const OptionEntry& entry : option_table()) {
        std::vector<std::string> forms;
        if (entry.name != nullptr) forms.push_back("--" + std::string(entry.name));
        if (entry.letter != 0) forms.push_back(std::string("-") + entry.letter);
        for (const std::string& form : forms) {
            EXPECT_TRUE(names(help, form)) << form << " is not in --help";
            EXPECT_TRUE(names(manual, form)) << form << " is not in the manual page";
            std::vector<std::string> arguments{form};
            if (entry.value != nullptr) arguments.emplace_back("1");
            const ParsedCommandLine parsed = parse(arguments);
            EXPECT_NE(parsed.error.rfind("unknown option", 0), 0u) << parsed.error;
            EXPECT_TRUE(entry.flag == nullptr || parsed.options.*entry.flag) << form;
        }
        if (entry.name != nullptr) long_names.insert(entry.name);
    }
    for (const char* column : {"Netns", "Container"}) EXPECT_TRUE(names(help, column)) << column;
    const std::regex long_option(R"(--([a-z0-9]+(-[a-z0-9]+)*))");
    for (std::sregex_iterator found(manual.begin(), manual.end(), long_option), end; found != end; ++found)
        EXPECT_EQ(long_names.count((*found)[1]), 1u) << (*found)[0] << " is in the manual page, not in the table";
}

} // namespace
