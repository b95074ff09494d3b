// SPDX-License-Identifier: MIT
// What the sockscope tool writes, piece by piece: how the table gives way
// on a narrow terminal, terminal frames, JSON strings and objects and the
// time line, state names, and the selection a command line makes.
#include <algorithm>
#include <clocale>
#include <gtest/gtest.h>

#include <sockscope_text/json_string.h>

#include "event_output.h"
#include "json_output.h"
#include "json_writer.h"
#include "options.h"
#include "output_buffer.h"
#include "socket_filter.h"
#include "state_names.h"
#include "support/json_reader.h"
#include "table_fit.h"
#include "table_output.h"

using namespace sockscope_tool;
using sockscope_test::JsonValue;
using sockscope_test::parse_json;

namespace {

class ToolOutput : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

// The shown columns' headers, and the room left to PID/Name.
std::string shown(const TableFit& fit, const std::vector<Column>& columns) {
    std::string headers;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!fit.columns[i].shown) continue;
        const ColumnTraits& traits = traits_of(columns[i]);
        headers += fit.columns[i].short_header ? traits.short_header : traits.header;
        headers += i + 1 < columns.size() ? "|" : ":" + std::to_string(fit.columns[i].width);
    }
    return headers;
}

TEST_F(ToolOutput, ANarrowTableGivesWayInTheStatedOrder) {
    const std::vector<Column> columns = listed_columns(false);
    // tcp6, queues, a 39-column IPv6 address and its peer, ESTAB, root,
    // and holders 27 columns wide.
    const std::vector<std::size_t> widest = {4, 1, 1, 39, 5, 39, 5, 5, 4, 27};
    const std::size_t natural = 5 + 6 + 6 + 39 + 5 + 39 + 5 + 5 + 4 + 9 * 2 + 27;
    EXPECT_EQ(shown(fit_table(columns, widest, 0), columns),
              "Proto|Recv-Q|Send-Q|Local Address|Port|Peer Address|Port|State|User|PID/Name:27");
    EXPECT_EQ(shown(fit_table(columns, widest, natural), columns),
              "Proto|Recv-Q|Send-Q|Local Address|Port|Peer Address|Port|State|User|PID/Name:27");
    // Addresses to 24 columns first, then one blank between columns, then
    // the queues, the user and the protocol go, then addresses to 12.
    const std::pair<std::size_t, const char*> steps[] = {
        {natural - 1, "Proto|Recv-Q|Send-Q|Local Address|Port|Peer Address|Port|State|User|PID/Name:26"},
        {125, "Proto|Recv-Q|Send-Q|Local Address|Port|Peer Address|Port|State|User|PID/Name:23"},
        {110, "Proto|Recv-Q|Local Address|Port|Peer Address|Port|State|User|PID/Name:24"},
        {100, "Proto|Local Address|Port|Peer Address|Port|State|User|PID/Name:21"},
        {90, "Local Address|Port|Peer Address|Port|State|PID/Name:22"},
        {80, "Local|Port|Peer Address|Port|State|PID/Name:36"},
        {60, "Local|Port|Peer Address|Port|State|PID/Name:16"},
        {40, "Local|Port|Peer Address|Port|State|PID/Name:0"},
    };
    for (const auto& [width, expected] : steps) EXPECT_EQ(shown(fit_table(columns, widest, width), columns), expected) << width;
    EXPECT_EQ(fit_table(columns, widest, 100).separator, 1u);
    // Room for the widest first holder, up to 40 columns: more gives way.
    EXPECT_EQ(shown(fit_table(columns, widest, 110, 30), columns),
              "Proto|Local Address|Port|Peer Address|Port|State|User|PID/Name:31");
    EXPECT_EQ(shown(fit_table(columns, widest, 110, 500), columns), shown(fit_table(columns, widest, 110, 40), columns));
    EXPECT_EQ(shown(fit_table(columns, widest, 110, 500), columns), "Local Address|Port|Peer Address|Port|State|PID/Name:42");
    EXPECT_EQ(left_out(columns, fit_table(columns, widest, 110, 30)),
              (std::vector<Column>{Column::receive_queue, Column::send_queue}));
    EXPECT_EQ(fit_table(columns, widest, natural).separator, 2u);

    // -e: the queues and User go before Cookie, Inode and UID.
    const std::vector<Column> extended = listed_columns(true);
    const std::vector<std::size_t> wide = {4, 1, 1, 9, 5, 9, 5, 5, 4, 1, 8, 5, 20};
    EXPECT_EQ(shown(fit_table(extended, wide, 100), extended),
              "Proto|Recv-Q|Local|Port|Peer|Port|State|User|UID|Inode|Cookie|PID/Name:24");
    EXPECT_EQ(shown(fit_table(extended, wide, 80), extended), "Proto|Local|Port|Peer|Port|State|UID|Inode|PID/Name:23");

    // -A: a namespace's name is cut to 24 columns, then to 12; Netns goes
    // after UID, Container last of all.
    const std::vector<Column> every = listed_columns(false, true);
    const std::vector<std::size_t> named = {4, 1, 1, 15, 5, 15, 5, 5, 30, 12, 4, 27};
    const std::pair<std::size_t, const char*> namespace_steps[] = {
        {115, "Proto|Local Address|Port|Peer Address|Port|State|Netns|Container|PID/Name:21"},
        {100, "Proto|Local Address|Port|Peer Address|Port|State|Container|PID/Name:31"},
        {80, "Local|Port|Peer Address|Port|State|Container|PID/Name:23"},
        {60, "Local|Port|Peer Address|Port|State|PID/Name:16"},
    };
    for (const auto& [width, expected] : namespace_steps) EXPECT_EQ(shown(fit_table(every, named, width), every), expected) << width;
    EXPECT_EQ(fit_table(every, named, 115).columns[8].width, 24u);
}

TEST_F(ToolOutput, TerminalFrameRedrawsInPlaceAndFitsTheScreen) {
    const auto frame = [](unsigned rows, std::size_t width, int lines) {
        std::string text;
        OutputBuffer out([&text](std::string_view piece) {
            text += piece;
            return 0;
        });
        TerminalFrame frame(out, "title", rows, width);
        frame.begin(static_cast<std::size_t>(lines));
        for (int i = 0; i < lines && frame.line("line" + std::to_string(i)); ++i) {
        }
        frame.end();
        out.finish();
        return text;
    };
    const std::string whole = frame(0, 0, 10);
    EXPECT_EQ(whole.rfind("\033[?7l\033[Htitle\033[K\nline0\033[K\n", 0), 0u);
    EXPECT_NE(whole.find("line9\033[K\n\033[J\033[?7h"), std::string::npos);
    EXPECT_EQ(whole.find("more lines"), std::string::npos);

    // Six screen rows: title, three lines, the count, and the cursor's row.
    const std::string cut = frame(6, 0, 10);
    EXPECT_NE(cut.find("line2\033[K\n(7 more lines"), std::string::npos);
    EXPECT_EQ(cut.find("line3"), std::string::npos);
    EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 5);
    // Exactly enough rows: nothing is cut.
    EXPECT_EQ(frame(12, 0, 10).find("more lines"), std::string::npos);
    EXPECT_NE(frame(11, 0, 10).find("more lines"), std::string::npos);
    // The title and the count are cut to the terminal's width.
    const std::string narrow = frame(6, 4, 10);
    EXPECT_NE(narrow.find("\033[Htitl\033[K"), std::string::npos) << narrow;
    EXPECT_NE(narrow.find("\n(7 m\033[K"), std::string::npos) << narrow;
}

JsonValue json_of(const std::string& text) {
    std::string error;
    auto value = parse_json(text, &error);
    EXPECT_TRUE(value.has_value()) << error << ": " << text;
    return value.value_or(JsonValue{});
}

TEST_F(ToolOutput, JsonStringsEscapeWhatTheyMustAndReadBackExactly) {
    const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
    const char16_t lone_low_at_end[] = {u'a', 0xDE00, 0};
    const std::pair<std::u16string, std::string> cases[] = {
        {u"plain", "\"plain\""},
        {u"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {u"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {u"\x01\x1b\x1f\x7f", "\"\\u0001\\u001b\\u001f\\u007f\""},
        {u"\u0080\u009B\u00A0", "\"\\u0080\\u009b\xC2\xA0\""},
        {u"\u2028\u2029", "\"\\u2028\\u2029\""},
        {u"\u061C\u200E\u200F\u202A\u202E\u2066\u2069", "\"\\u061c\\u200e\\u200f\\u202a\\u202e\\u2066\\u2069\""},
        {u"\u200D\u202F\u2065", "\"\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\""},
        {u"\u65E5\U0001F600", "\"\xE6\x97\xA5\xF0\x9F\x98\x80\""},
        {lone_high, "\"a\\ud83db\""},
        {lone_low_at_end, "\"a\\ude00\""},
        {u"", "\"\""},
    };
    for (const auto& [name, expected] : cases) {
        std::string text;
        sockscope_text::append_json_string(text, name);
        EXPECT_EQ(text, expected);
        const JsonValue read = json_of(text);
        EXPECT_TRUE(read.is(JsonValue::Kind::string));
        EXPECT_EQ(read.string, name) << expected;
    }
    // The same text from UTF-8 (the C interface's names) writes the same;
    // bytes that are no character are U+FFFD.
    for (const auto& [utf8, expected] : std::vector<std::pair<std::string, std::string>>{
             {"q\"\\\n\x1b\x7f", "\"q\\\"\\\\\\n\\u001b\\u007f\""},
             {"\xC2\x9B\xE2\x80\xAE\xE6\x97\xA5\xF0\x9F\x98\x80", "\"\\u009b\\u202e\xE6\x97\xA5\xF0\x9F\x98\x80\""},
             {"a\xC0\xAF" "b\xED\xA0\x80" "c\xF0\x9F", "\"a\\ufffd\\ufffdb\\ufffd\\ufffd\\ufffdc\\ufffd\""}}) {
        std::string text;
        sockscope_text::append_json_utf8(text, utf8);
        EXPECT_EQ(text, expected);
    }
}

TEST_F(ToolOutput, TheJsonWriterPutsACommaBetweenMembersAndElementsAtEveryDepth) {
    const std::pair<void (*)(JsonWriter&), const char*> cases[] = {
        {[](JsonWriter& json) {
             json.open_object();
             json.close_object();
         },
         "{}"},
        {[](JsonWriter& json) {
             json.open_array();
             json.ascii("s");
             json.number(1);
             json.null();
             json.text_or_null("\xC3\xA9\xFF");
             json.boolean(true);
             json.close_array();
         },
         "[\"s\",1,null,\"\xC3\xA9\\ufffd\",true]"},
        {[](JsonWriter& json) {
             json.open_object();
             json.key("a").open_array();
             json.close_array();
             json.key("b").open_array();
             json.open_object();
             json.close_object();
             json.open_object();
             json.key("c").number_or_null(0, false);
             json.key("d").boolean(false);
             json.close_object();
             json.number_or_null(7, true);
             json.close_array();
             json.key("e").text_or_null(nullptr);
             json.key("f").ascii_or_null("x\"");
             json.key("g").ascii_or_null(nullptr);
             json.close_object();
         },
         R"({"a":[],"b":[{},{"c":null,"d":false},7],"e":null,"f":"x\"","g":null})"},
    };
    for (const auto& [write, expected] : cases) {
        std::string text = "-";
        JsonWriter json(text);
        write(json);
        EXPECT_EQ(text, std::string("-") + expected);
        EXPECT_TRUE(parse_json(text.substr(1)).has_value()) << text;
    }
}

TEST_F(ToolOutput, WatchedJsonTablesStartWithTheirTimeInUtc) {
    std::string text;
    append_json_time_line(text, std::chrono::system_clock::time_point(std::chrono::milliseconds(1767184496007)), 42);
    EXPECT_EQ(text, "{\"time\":\"2025-12-31T12:34:56.007Z\",\"sockets\":42}\n");
}

TEST_F(ToolOutput, StatesAreNamedAsTheKernelNamesThemInAnyCase) {
    EXPECT_EQ(state_bit_named("established"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_ESTABLISHED));
    EXPECT_EQ(state_bit_named("ESTAB"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_ESTABLISHED));
    EXPECT_EQ(state_bit_named("Time_Wait"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_TIME_WAIT));
    EXPECT_EQ(state_bit_named("fin-wait-1"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_FIN_WAIT1));
    EXPECT_EQ(state_bit_named("NEW_SYN_RECV"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_NEW_SYN_RECV));
    EXPECT_EQ(state_bit_named("unconn"), SOCKSCOPE_STATE_BIT(SOCKSCOPE_CLOSE));
    for (const char* unknown : {"", "open", "listening", "established2", "LİSTEN"}) EXPECT_EQ(state_bit_named(unknown), 0u) << unknown;
}

TEST_F(ToolOutput, TheCommandLineBecomesTheSelectionTheKernelFilters) {
    const auto filter_of = [](std::vector<std::string> arguments, auto check) {
        const ParsedCommandLine parsed = parse_command_line(arguments);
        ASSERT_EQ(parsed.error, "");
        const SocketFilter filter(parsed.options);
        check(filter.selection(), filter.passes_nothing());
    };
    filter_of({}, [](const sockscope_selection& s, bool nothing) {
        EXPECT_EQ(s.what, SOCKSCOPE_TCP | SOCKSCOPE_IPV4 | SOCKSCOPE_IPV6);
        EXPECT_EQ(s.states, 0u);
        EXPECT_EQ(s.port_count, 0u);
        EXPECT_FALSE(nothing);
    });
    filter_of({"-tul4", "--port", "80,443", "--port", "53"}, [](const sockscope_selection& s, bool) {
        EXPECT_EQ(s.what, SOCKSCOPE_TCP | SOCKSCOPE_UDP | SOCKSCOPE_IPV4);
        EXPECT_EQ(s.states, SOCKSCOPE_STATE_BIT(SOCKSCOPE_LISTEN) | SOCKSCOPE_STATE_BIT(SOCKSCOPE_CLOSE));
        ASSERT_EQ(s.port_count, 3u);
        EXPECT_EQ(std::vector<std::uint16_t>(s.ports, s.ports + 3), (std::vector<std::uint16_t>{80, 443, 53}));
    });
    filter_of({"--state", "listen,time_wait", "-l"}, [](const sockscope_selection& s, bool) {
        EXPECT_EQ(s.states, SOCKSCOPE_STATE_BIT(SOCKSCOPE_LISTEN));
    });
    filter_of({"--state", "established", "-l"}, [](const sockscope_selection&, bool nothing) { EXPECT_TRUE(nothing); });
}

TEST_F(ToolOutput, EventLifetimesReadAsPeopleWriteThemRoundedAtEachUnit) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {-1, "-"},          {850, "850ns"},          {999, "999ns"},          {1000, "1.0us"},
        {12'340, "12us"},   {999'400, "999us"},      {999'600, "1.0ms"},      {1'249'000, "1.2ms"},
        {9'960'000, "10ms"}, {3'400'000'000, "3.4s"}, {59'400'000'000, "59s"}, {59'600'000'000, "1m00s"},
        {125'000'000'000, "2m05s"}, {3'599'600'000'000, "1h00m"}, {11'220'000'000'000, "3h07m"},
    };
    for (const auto& [nanoseconds, text] : cases) EXPECT_EQ(duration_text(nanoseconds), text) << nanoseconds;
}

TEST(JsonReader, RefusesWhatIsNotJson) {
    for (const char* bad : {"", "{", "{\"a\":1,}", "[1 2]", "\"raw\ttab\"", "\"\\x\"", "\"\\u12\"", "01", "1.",
                            "-", "{\"a\" 1}", "nul", "1 2", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF5\x80\x80\x80\""}) {
        EXPECT_FALSE(parse_json(bad).has_value()) << bad;
    }
    const auto value = parse_json(" {\"a\":[true,false,null,-1.5e3],\"b\":{}} ");
    ASSERT_TRUE(value.has_value());
    ASSERT_NE(value->member("a"), nullptr);
    EXPECT_EQ(value->member("a")->array.size(), 4u);
    EXPECT_TRUE(value->member("a")->array[0].boolean);
    EXPECT_FALSE(value->member("a")->array[1].boolean);
    EXPECT_EQ(value->member("a")->array[3].number, "-1.5e3");
    EXPECT_EQ(value->member("c"), nullptr);
}

} // namespace
