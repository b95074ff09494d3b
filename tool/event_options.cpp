// SPDX-License-Identifier: MIT
#include "event_options.h"

#include <charconv>

namespace sockscope_tool {

bool is_event_value_option(std::string_view option) {
    return option == "--netns" || option == "--container" || option == "--tracked";
}

std::string apply_event_value(Options& options, std::string_view option, std::string_view value) {
    if (option == "--tracked") {
        if (options.tracked != 0) return "--tracked given twice";
        std::uint32_t count = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
        if (value.empty() || value.front() == '-' || value.front() == '+' || error != std::errc() ||
            end != value.data() + value.size() || count == 0 || count > 4194304)
            return "--tracked needs a number of sockets from 1 to 4194304";
        options.tracked = count;
        return "";
    }
    std::optional<std::string>& target = option == "--netns" ? options.netns : options.container;
    if (target) return std::string(option) + " given twice";
    if (value.empty()) return std::string(option) + (option == "--netns" ? " needs a name or an inode number" : " needs an id");
    if (option == "--netns" && (value.find('/') != std::string_view::npos || value == "." || value == ".."))
        return "--netns needs a name from /run/netns or an inode number";
    target = std::string(value);
    return "";
}

bool apply_event_flag(Options& options, std::string_view option) {
    if (option == "--events") options.events = true;
    else if (option == "--opens") options.opens = true;
    else if (option == "--debug") options.debug = true;
    else if (option == "--all-namespaces") options.all_namespaces = true;
    else return false;
    return true;
}

std::string event_options_conflict(const Options& options) {
    if (!options.events) {
        if (options.opens) return "--opens works with --events only";
        if (options.debug) return "--debug works with --events only";
        if (options.tracked != 0) return "--tracked works with --events only";
        if (options.all_namespaces || options.netns || options.container)
            return "-A, --netns and --container work with --events only";
        return "";
    }
    // The stream reports TCP connections as they end: no tables, no states
    // to pick, no listeners to list.
    if (options.udp) return "--events reports TCP connections only (no -u)";
    if (options.listening) return "--events reports connections, not listeners (no -l)";
    if (options.states != 0) return "--state makes no sense with --events (a record has every state it went through)";
    if (options.watch) return "--watch makes no sense with --events, which runs until interrupted";
    if (options.extended) return "-e makes no sense with --events (--json has every field)";
    if (options.all_namespaces && options.netns) return "-A and --netns exclude each other";
    return "";
}

} // namespace sockscope_tool
