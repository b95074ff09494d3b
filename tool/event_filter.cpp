// SPDX-License-Identifier: MIT
#include "event_filter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>

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
    std::string path = "/proc/self/ns/net";
    if (options.netns) {
        const std::string& given = *options.netns;
        std::uint64_t inode = 0;
        const auto [end, failed] = std::from_chars(given.data(), given.data() + given.size(), inode);
        if (failed == std::errc() && end == given.data() + given.size() && inode != 0) return inode;
        path = "/run/netns/" + given;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        const int failure = errno;
        error = options.netns ? "no network namespace '" + *options.netns + "' (" + path + ": " + std::strerror(failure) + ")"
                              : "cannot read " + path + ": " + std::strerror(failure);
        return 0;
    }
    return status.st_ino;
}

} // namespace sockscope_tool
