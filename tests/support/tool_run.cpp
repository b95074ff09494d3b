// SPDX-License-Identifier: MIT
#include "support/tool_run.h"

#include <gtest/gtest.h>

namespace sockscope_test {
namespace {

const std::vector<std::string> schema = {"protocol",  "family",        "local_address", "local_port",
                                         "remote_address", "remote_port", "state",      "receive_queue",
                                         "send_queue", "interface",    "v6only",        "uid",
                                         "user",      "inode",         "cookie",        "owners",
                                         "netns",     "netns_name"};

void check_schema(const JsonValue& value, const std::string& line) {
    using K = JsonValue::Kind;
    ASSERT_TRUE(value.is(K::object)) << line;
    std::vector<std::string> keys;
    for (const auto& member : value.members) keys.push_back(member.first);
    // -i, -o and -m add their members at the end, in this order: objects,
    // or null where a socket has none.
    for (const char* detail : {"memory", "timer", "tcp_info"}) {
        if (keys.empty() || keys.back() != detail) continue;
        EXPECT_TRUE(value.member(detail)->is(K::object) || value.member(detail)->is(K::null)) << line;
        keys.pop_back();
    }
    ASSERT_EQ(keys, schema) << line;
    const auto kind = [&](const char* key) { return value.member(key)->kind; };
    const auto either = [&](const char* key, K a, K b) { return kind(key) == a || kind(key) == b; };
    const std::string protocol = value.member("protocol")->utf8(), family = value.member("family")->utf8();
    EXPECT_TRUE(protocol == "tcp" || protocol == "udp") << line;
    EXPECT_TRUE(family == "ipv4" || family == "ipv6") << line;
    EXPECT_EQ(kind("local_address"), K::string) << line;
    EXPECT_EQ(kind("local_port"), K::number) << line;
    EXPECT_EQ(kind("remote_address") == K::null, kind("remote_port") == K::null) << line;
    EXPECT_TRUE(either("remote_address", K::string, K::null) && either("remote_port", K::number, K::null)) << line;
    EXPECT_EQ(kind("state"), K::string) << line;
    for (const char* key : {"receive_queue", "uid"}) EXPECT_EQ(kind(key), K::number) << key << line;
    EXPECT_TRUE(either("send_queue", K::number, K::null)) << line;
    for (const char* key : {"interface", "inode", "cookie"}) EXPECT_TRUE(either(key, K::number, K::null)) << key << line;
    EXPECT_EQ(kind("v6only"), family == "ipv4" ? K::null : K::boolean) << line;
    for (const char* key : {"user", "netns_name"}) EXPECT_TRUE(either(key, K::string, K::null)) << key << line;
    EXPECT_TRUE(either("netns", K::number, K::null)) << line;
    ASSERT_EQ(kind("owners"), K::array) << line;
    for (const JsonValue& owner : value.member("owners")->array) {
        std::vector<std::string> owner_keys;
        for (const auto& member : owner.members) owner_keys.push_back(member.first);
        EXPECT_EQ(owner_keys, (std::vector<std::string>{"pid", "fd", "name", "comm", "cgroup", "container",
                                                         "user_container", "container_user"}))
            << line;
        EXPECT_EQ(owner.member("user_container")->is(K::null), owner.member("container_user")->is(K::null)) << line;
        EXPECT_TRUE(owner.member("pid") && owner.member("pid")->is(K::number)) << line;
        EXPECT_TRUE(owner.member("fd") && owner.member("fd")->is(K::number)) << line;
    }
}

} // namespace

RunOptions tool_options(std::vector<std::string> arguments, Stdout output) {
    RunOptions options;
    options.arguments = std::move(arguments);
    options.set_environment = {{"LC_ALL", "C.UTF-8"}};
    options.output = output;
    return options;
}

ProgramResult run_tool(std::vector<std::string> arguments, Stdout output) {
    return run_program(SOCKSCOPE_TOOL, tool_options(std::move(arguments), output));
}

ProgramResult run_tool_on_terminal(std::vector<std::string> arguments, unsigned short columns) {
    RunOptions options = tool_options(std::move(arguments), Stdout::terminal);
    options.terminal_columns = columns;
    return run_program(SOCKSCOPE_TOOL, options);
}

std::vector<JsonValue> json_rows(const std::string& output) {
    std::vector<JsonValue> rows;
    for (const auto& line : lines_of(output)) {
        std::string error;
        auto value = parse_json(line, &error);
        EXPECT_TRUE(value.has_value()) << error << ": " << line;
        if (!value) continue;
        check_schema(*value, line);
        rows.push_back(std::move(*value));
    }
    return rows;
}

std::vector<JsonValue> run_json(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const auto run = run_tool(arguments);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    // Where some process can't be inspected even by root (one holding
    // capabilities the tests lack), the note says so.
    for (const auto& line : lines_of(run.err)) EXPECT_EQ(line.rfind("sockscope: note: ", 0), 0u) << line;
    return json_rows(run.out);
}

std::int64_t number(const JsonValue& row, const char* key) {
    const JsonValue* member = row.member(key);
    return member != nullptr ? member->integer().value_or(-1) : -1;
}

std::string text(const JsonValue& row, const char* key) {
    const JsonValue* member = row.member(key);
    return member != nullptr ? member->utf8() : "";
}

bool is_null(const JsonValue& row, const char* key) {
    const JsonValue* member = row.member(key);
    return member != nullptr && member->is(JsonValue::Kind::null);
}

std::vector<std::string> owners_of(const JsonValue& row) {
    std::vector<std::string> owners;
    if (const JsonValue* array = row.member("owners"))
        for (const JsonValue& owner : array->array)
            owners.push_back(std::to_string(number(owner, "pid")) + "/" + text(owner, "name"));
    return owners;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t blank; (blank = line.find(' ', start)) != std::string::npos; start = blank + 1)
        fields.push_back(line.substr(start, blank - start));
    fields.push_back(line.substr(start));
    return fields;
}

std::vector<std::vector<std::string>> lines_at(const std::string& output, const std::string& address, unsigned port) {
    std::vector<std::vector<std::string>> found;
    for (const auto& line : lines_of(output)) {
        auto fields = fields_of(line);
        if (fields.size() > field::local_port && fields[field::local_address] == address &&
            fields[field::local_port] == std::to_string(port))
            found.push_back(std::move(fields));
    }
    return found;
}

std::vector<std::vector<std::string>> lines_at(const std::string& output, const std::string& protocol,
                                               const std::string& address, unsigned port) {
    std::vector<std::vector<std::string>> found = lines_at(output, address, port);
    std::erase_if(found, [&](const std::vector<std::string>& fields) { return fields[field::protocol] != protocol; });
    return found;
}

std::string without_control_sequences(const std::string& text) {
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\033') {
            plain += text[at];
            continue;
        }
        // ESC [ then parameters up to a final letter.
        if (at + 1 < text.size() && text[at + 1] == '[') {
            at += 2;
            while (at < text.size() && !((text[at] >= 'A' && text[at] <= 'Z') || (text[at] >= 'a' && text[at] <= 'z')))
                ++at;
        }
    }
    return plain;
}

std::size_t columns_of(const std::string& line) {
    std::size_t columns = 0;
    for (const char c : without_control_sequences(line))
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
    return columns;
}

} // namespace sockscope_test
