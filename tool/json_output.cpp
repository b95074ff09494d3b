// SPDX-License-Identifier: MIT
#include "json_output.h"

#include <ctime>

#include <sockscope_text/decimal.h>
#include <sockscope_text/json_string.h>

#include "columns.h"
#include "json_members.h"

namespace sockscope_tool {
namespace {

using sockscope_text::append_decimal;
using sockscope_text::append_json_ascii;

void append_key(std::string& out, const char* key) { append_json_key(out, key); }

// 0 is what the snapshot gives for a number it does not know.
void append_number_or_null(std::string& out, std::uint64_t value) {
    append_json_number_or_null(out, value, value != 0);
}

void append_string_or_null(std::string& out, const char* text) { append_json_text_or_null(out, text); }

void append_owner(std::string& out, const sockscope_snapshot& snapshot, const sockscope_owner& owner) {
    out += '{';
    append_key(out, "pid");
    append_decimal(out, owner.pid);
    out += ',';
    append_key(out, "fd");
    append_decimal(out, static_cast<std::uint32_t>(owner.fd));
    out += ',';
    append_key(out, "name");
    append_string_or_null(out, owner.name);
    out += ',';
    append_key(out, "comm");
    append_string_or_null(out, owner.comm);
    out += ',';
    append_key(out, "cgroup");
    append_string_or_null(out, owner.cgroup);
    out += ',';
    append_key(out, "container");
    append_string_or_null(out, owner.container);
    out += ',';
    const char* user_container = user_container_of(snapshot, owner);
    append_key(out, "user_container");
    append_string_or_null(out, user_container);
    out += ',';
    append_key(out, "container_user");
    if (user_container == nullptr)
        out += "null";
    else
        append_decimal(out, owner.container_user);
    out += '}';
}

void append_socket(std::string& out, const Listing& listing, const sockscope_socket& socket) {
    const bool peer = has_peer(socket);
    out += '{';
    append_key(out, "protocol");
    out += socket.protocol == 6 ? "\"tcp\"," : "\"udp\",";
    append_key(out, "family");
    out += socket.family == 2 ? "\"ipv4\"," : "\"ipv6\",";
    append_key(out, "local_address");
    append_json_ascii(out, socket.local_text);
    out += ',';
    append_key(out, "local_port");
    append_decimal(out, socket.local_port);
    out += ',';
    append_key(out, "remote_address");
    if (peer)
        append_json_ascii(out, socket.remote_text);
    else
        out += "null";
    out += ',';
    append_key(out, "remote_port");
    if (peer)
        append_decimal(out, socket.remote_port);
    else
        out += "null";
    out += ',';
    append_key(out, "state");
    append_json_ascii(out, socket.state_name != nullptr ? socket.state_name : "");
    out += ',';
    append_key(out, "receive_queue");
    append_decimal(out, socket.receive_queue);
    out += ',';
    append_key(out, "send_queue");
    if (send_queue_known(socket))
        append_decimal(out, socket.send_queue);
    else
        out += "null";
    out += ',';
    append_key(out, "interface");
    append_number_or_null(out, socket.interface);
    out += ',';
    append_key(out, "v6only");
    out += socket.family == 2 ? "null" : socket.v6only != 0 ? "true" : "false";
    out += ',';
    append_key(out, "uid");
    append_decimal(out, socket.uid);
    out += ',';
    append_key(out, "user");
    append_string_or_null(out, listing.users.name_of(socket.uid));
    out += ',';
    append_key(out, "inode");
    append_number_or_null(out, socket.inode);
    out += ',';
    append_key(out, "cookie");
    append_number_or_null(out, socket.cookie);
    out += ',';
    append_key(out, "owners");
    out += '[';
    for (std::uint32_t i = 0; i < socket.owner_count; ++i) {
        if (i > 0) out += ',';
        append_owner(out, listing.snapshot, *sockscope_owner_at(&listing.snapshot, &socket, i));
    }
    out += "],";
    append_key(out, "netns");
    append_number_or_null(out, socket.netns);
    out += ',';
    append_key(out, "netns_name");
    append_string_or_null(out, socket.netns_name);
    out += "}\n";
}

} // namespace

void write_json(const Listing& listing, OutputBuffer& out) {
    listing.for_each([&](const sockscope_socket& socket) {
        if (out.failed()) return;
        append_socket(out.text(), listing, socket);
        out.flush_when_full();
    });
}

void append_json_time_line(std::string& out, std::chrono::system_clock::time_point now, std::size_t sockets) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(since_epoch.count() / 1000);
    std::tm utc{};
    char clock[32] = "";
    if (gmtime_r(&seconds, &utc) != nullptr) std::strftime(clock, sizeof clock, "%Y-%m-%dT%H:%M:%S", &utc);
    const auto millis = static_cast<unsigned>(since_epoch.count() % 1000);
    out += "{\"time\":\"";
    out += clock;
    out += '.';
    out += static_cast<char>('0' + millis / 100);
    out += static_cast<char>('0' + millis / 10 % 10);
    out += static_cast<char>('0' + millis % 10);
    out += "Z\",\"sockets\":";
    append_decimal(out, sockets);
    out += "}\n";
}

} // namespace sockscope_tool
