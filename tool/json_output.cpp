// SPDX-License-Identifier: MIT
#include "json_output.h"

#include <ctime>

#include "columns.h"
#include "details_output.h"
#include "json_writer.h"

namespace sockscope_tool {
namespace {

// 0 is what the snapshot gives for a number it does not know.
void number_or_null(JsonWriter& json, std::uint64_t value) { json.number_or_null(value, value != 0); }

void write_owner(JsonWriter& json, const sockscope_snapshot& snapshot, const sockscope_owner& owner) {
    json.open_object();
    json.key("pid").number(owner.pid);
    json.key("fd").number(static_cast<std::uint32_t>(owner.fd));
    json.key("name").text_or_null(owner.name);
    json.key("comm").text_or_null(owner.comm);
    json.key("cgroup").text_or_null(owner.cgroup);
    json.key("container").text_or_null(owner.container);
    const char* user_container = user_container_of(snapshot, owner);
    json.key("user_container").text_or_null(user_container);
    json.key("container_user").number_or_null(owner.container_user, user_container != nullptr);
    json.close_object();
}

void append_socket(std::string& out, const Listing& listing, const sockscope_socket& socket) {
    const bool peer = has_peer(socket);
    JsonWriter json(out);
    json.open_object();
    json.key("protocol").ascii(socket.protocol == 6 ? "tcp" : "udp");
    json.key("family").ascii(socket.family == 2 ? "ipv4" : "ipv6");
    json.key("local_address").ascii(socket.local_text);
    json.key("local_port").number(socket.local_port);
    json.key("remote_address").ascii_or_null(peer ? socket.remote_text : nullptr);
    json.key("remote_port").number_or_null(socket.remote_port, peer);
    json.key("state").ascii(socket.state_name != nullptr ? socket.state_name : "");
    json.key("receive_queue").number(socket.receive_queue);
    json.key("send_queue").number_or_null(socket.send_queue, send_queue_known(socket));
    number_or_null(json.key("interface"), socket.interface);
    if (socket.family == 2)
        json.key("v6only").null();
    else
        json.key("v6only").boolean(socket.v6only != 0);
    json.key("uid").number(socket.uid);
    json.key("user").text_or_null(listing.users.name_of(socket.uid));
    number_or_null(json.key("inode"), socket.inode);
    number_or_null(json.key("cookie"), socket.cookie);
    json.key("owners").open_array();
    for (std::uint32_t i = 0; i < socket.owner_count; ++i)
        write_owner(json, listing.snapshot, *sockscope_owner_at(&listing.snapshot, &socket, i));
    json.close_array();
    number_or_null(json.key("netns"), socket.netns);
    json.key("netns_name").text_or_null(socket.netns_name);
    write_details_json(json, details_of(listing.snapshot, socket), listing.details);
    json.close_object();
    out += '\n';
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
    std::string time = clock;
    time += '.';
    time += static_cast<char>('0' + millis / 100);
    time += static_cast<char>('0' + millis / 10 % 10);
    time += static_cast<char>('0' + millis % 10);
    time += 'Z';
    JsonWriter json(out);
    json.open_object();
    json.key("time").ascii(time);
    json.key("sockets").number(sockets);
    json.close_object();
    out += '\n';
}

} // namespace sockscope_tool
