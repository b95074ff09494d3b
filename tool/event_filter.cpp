// SPDX-License-Identifier: MIT
#include "event_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>

#include <sockscope_text/terminal_text.h>

#include "netns_names.h"
#include "socket_filter.h"

namespace sockscope_tool {

EventFilter::EventFilter(const Options& options, std::uint64_t network_namespace)
    : options_(options), network_namespace_(network_namespace) {}

bool EventFilter::passes(const sockscope_connection& record) const {
    if (network_namespace_ != 0 && record.netns != network_namespace_) return false;
    if (!(record.family == AF_INET ? options_.wants_ipv4() : options_.wants_ipv6())) return false;
    const auto& ports = options_.ports;
    if (!ports.empty() && std::find(ports.begin(), ports.end(), record.local_port) == ports.end() &&
        std::find(ports.begin(), ports.end(), record.remote_port) == ports.end())
        return false;
    const auto& pids = options_.pids;
    if (!pids.empty() && std::find(pids.begin(), pids.end(), record.pid) == pids.end()) return false;
    if (options_.name) {
        const bool named = (record.name != nullptr && *options_.name == record.name) ||
                           (record.comm != nullptr && *options_.name == record.comm);
        if (!named) return false;
    }
    if (options_.container && (record.container == nullptr || !starts_without_case(record.container, *options_.container)))
        return false;
    return true;
}

std::uint64_t namespace_to_show(const Options& options, std::string& error) {
    // --netns narrows -A to one namespace, as it does for tables.
    if (!options.netns && (options.all_namespaces || options.container)) return 0;
    if (options.netns) {
        const std::string& given = *options.netns;
        if (const std::optional<std::uint64_t> inode = netns_number(given); inode && *inode != 0) return *inode;
        const std::uint64_t inode = named_netns_inode(given);
        if (inode == 0) {
            const int failure = errno;
            std::string name; // as the tables' message shows it: escaped
            sockscope_text::append_escaped_utf8_name(name, given.c_str());
            error = "no network namespace '" + name + "' (/run/netns/" + name + ": " + std::strerror(failure) + ")";
        }
        return inode;
    }
    const char* own = "/proc/self/ns/net";
    struct stat status {};
    if (stat(own, &status) != 0) {
        error = std::string("cannot read ") + own + ": " + std::strerror(errno);
        return 0;
    }
    return status.st_ino;
}

} // namespace sockscope_tool
