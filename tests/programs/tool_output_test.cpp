// SPDX-License-Identifier: MIT
// What the sockscope tool writes: filters, text lines, the table, terminal
// frames, JSON.
#include <clocale>
#include <gtest/gtest.h>

#include <sockscope_text/json_string.h>

#include "json_output.h"
#include "row_filter.h"
#include "support/json_reader.h"
#include "text_output.h"

using namespace sockscope_tool;
using sockscope_text::append_json_string;
using sockscope_test::JsonValue;
using sockscope_test::parse_json;

namespace {

ListedSocket tcp_row(std::string local, std::uint32_t port, std::string remote, std::uint32_t remote_port,
                     std::string state, std::uint32_t pid, std::optional<std::u16string> name) {
    ListedSocket row;
    row.local_address = std::move(local);
    row.local_port = port;
    row.remote_address = std::move(remote);
    row.remote_port = remote_port;
    row.state = std::move(state);
    row.pid = pid;
    row.name = std::move(name);
    return row;
}

ListedSocket udp_row(std::string local, std::uint32_t port, std::uint32_t pid, std::optional<std::u16string> name) {
    ListedSocket row;
    row.protocol = ListedSocket::Protocol::udp;
    row.local_address = std::move(local);
    row.local_port = port;
    row.pid = pid;
    row.name = std::move(name);
    return row;
}

class ToolOutput : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(ToolOutput, FiltersCombine) {
    const ListedSocket listener = tcp_row("127.0.0.1", 8080, "0.0.0.0", 0, "LISTEN", 42, u"caf\u00E9");
    const ListedSocket client = tcp_row("127.0.0.1", 50000, "127.0.0.1", 8080, "ESTABLISH", 7, u"curl");
    const ListedSocket udp = udp_row("0.0.0.0", 8080, 42, u"caf\u00E9");
    Options o;
    EXPECT_TRUE(is_shown(listener, o) && is_shown(client, o) && is_shown(udp, o));
    o.port = 8080; // local or remote
    EXPECT_TRUE(is_shown(listener, o) && is_shown(client, o) && is_shown(udp, o));
    o.port = 50000;
    EXPECT_FALSE(is_shown(listener, o));
    EXPECT_TRUE(is_shown(client, o));
    o.port.reset();
    o.listening = true; // keeps TCP listeners and, without a connected flag, all UDP
    EXPECT_TRUE(is_shown(listener, o));
    EXPECT_FALSE(is_shown(client, o));
    EXPECT_TRUE(is_shown(udp, o));
    o.listening = false;
    o.pid = 7;
    EXPECT_FALSE(is_shown(listener, o));
    EXPECT_TRUE(is_shown(client, o));
    o.pid.reset();
    o.name = "caf\xC3\xA9"; // the name's UTF-8 bytes, exactly
    EXPECT_TRUE(is_shown(listener, o) && is_shown(udp, o));
    EXPECT_FALSE(is_shown(client, o));
    o.name = "caf";
    EXPECT_FALSE(is_shown(listener, o));
    ListedSocket ownerless = listener;
    ownerless.name.reset();
    o.name = "-";
    EXPECT_FALSE(is_shown(ownerless, o));
}

TEST_F(ToolOutput, HiddenOwnersAreThoseAProcessShouldHold) {
    EXPECT_FALSE(owners_were_hidden({tcp_row("127.0.0.1", 1, "127.0.0.1", 2, "TIMEWAIT", 0, std::nullopt),
                                     tcp_row("127.0.0.1", 1, "127.0.0.1", 3, "RCVD", 0, std::nullopt),
                                     tcp_row("127.0.0.1", 4, "0.0.0.0", 0, "LISTEN", 9, u"x")}));
    EXPECT_TRUE(owners_were_hidden({tcp_row("127.0.0.1", 4, "0.0.0.0", 0, "LISTEN", 0, std::nullopt)}));
    EXPECT_TRUE(owners_were_hidden({udp_row("0.0.0.0", 53, 0, std::nullopt)}));
}

TEST_F(ToolOutput, PlainLinesHaveEightFieldsAndEscapedNames) {
    std::string text;
    append_plain_line(text, tcp_row("127.0.0.1", 5432, "127.0.0.1", 40112, "ESTABLISH", 1291, u"post gres\n"));
    append_plain_line(text, udp_row("0.0.0.0", 53, 0, std::nullopt));
    ListedSocket six = tcp_row("::1", 80, "::", 0, "LISTEN", 1, u"");
    six.family = ListedSocket::Family::ipv6;
    append_plain_line(text, six);
    EXPECT_EQ(text,
              "tcp 127.0.0.1 5432 127.0.0.1 40112 ESTABLISH 1291 post\\040gres\\012\n"
              "udp 0.0.0.0 53 - - - - -\n"
              "tcp6 ::1 80 :: 0 LISTEN 1 -\n");
}

TEST_F(ToolOutput, TableAlignsColumnsUnderAHeaderAndKeepsLongNamesWhole) {
    const auto lines = table_lines({tcp_row("127.0.0.1", 5, "0.0.0.0", 0, "LISTEN", 7, u"a-name-longer-than-fifteen"),
                                    udp_row("10.200.30.4", 65535, 0, std::nullopt)});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Proto  Local Address   Port  Remote Address  Port  State   PID  Name");
    EXPECT_EQ(lines[1], "tcp    127.0.0.1          5  0.0.0.0            0  LISTEN    7  a-name-longer-than-fifteen");
    EXPECT_EQ(lines[2], "udp    10.200.30.4    65535  -                  -  -         -  -");
}

TEST_F(ToolOutput, TerminalFrameRedrawsInPlaceAndFitsTheScreen) {
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i) lines.push_back("line" + std::to_string(i));
    const std::string whole = terminal_frame("title", lines, 0);
    EXPECT_EQ(whole.rfind("\033[?7l\033[Htitle\033[K\nline0\033[K\n", 0), 0u);
    EXPECT_NE(whole.find("line9\033[K\n\033[J\033[?7h"), std::string::npos);
    EXPECT_EQ(whole.substr(whole.size() - 5), "\033[?7h");
    EXPECT_EQ(whole.find("more lines"), std::string::npos);

    // Six screen rows: title, three lines, the count, and the cursor's row.
    const std::string cut = terminal_frame("title", lines, 6);
    EXPECT_NE(cut.find("line2\033[K\n(7 more lines"), std::string::npos);
    EXPECT_EQ(cut.find("line3"), std::string::npos);
    EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 5);
    // Exactly enough rows: nothing is cut.
    EXPECT_EQ(terminal_frame("title", lines, 12).find("more lines"), std::string::npos);
    EXPECT_NE(terminal_frame("title", lines, 11).find("more lines"), std::string::npos);
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
        append_json_string(text, name);
        EXPECT_EQ(text, expected);
        const JsonValue read = json_of(text);
        EXPECT_TRUE(read.is(JsonValue::Kind::string));
        EXPECT_EQ(read.string, name) << expected;
    }
}

TEST_F(ToolOutput, JsonLinesFollowTheSchema) {
    std::string text;
    append_json_line(text, tcp_row("127.0.0.1", 5432, "127.0.0.1", 40112, "ESTABLISH", 1291, u"postgres"));
    EXPECT_EQ(text,
              "{\"protocol\":\"tcp\",\"family\":\"ipv4\",\"local_address\":\"127.0.0.1\",\"local_port\":5432,"
              "\"remote_address\":\"127.0.0.1\",\"remote_port\":40112,\"state\":\"ESTABLISH\",\"pid\":1291,"
              "\"name\":\"postgres\"}\n");
    text.clear();
    ListedSocket udp = udp_row("::", 53, 0, std::nullopt);
    udp.family = ListedSocket::Family::ipv6;
    append_json_line(text, udp);
    EXPECT_EQ(text,
              "{\"protocol\":\"udp\",\"family\":\"ipv6\",\"local_address\":\"::\",\"local_port\":53,"
              "\"remote_address\":null,\"remote_port\":null,\"state\":null,\"pid\":null,\"name\":null}\n");
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
