// SPDX-License-Identifier: MIT
#include "event_options.h"

#include <charconv>

namespace sockscope_tool {

bool is_event_value_option(std::string_view option) {
    return option == "--tracked";
}

std::string apply_event_value(Options& options, std::string_view option, std::string_view value) {
    if (options.tracked != 0) return std::string(option) + " given twice";
    std::uint32_t count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (value.empty() || value.front() == '-' || value.front() == '+' || error != std::errc() ||
        end != value.data() + value.size() || count == 0 || count > 4194304)
        return "--tracked needs a number of sockets from 1 to 4194304";
    options.tracked = count;
    return "";
}

bool apply_event_flag(Options& options, std::string_view option) {
    if (option == "--events") options.events = true;
    else if (option == "--opens") options.opens = true;
    else if (option == "--debug") options.debug = true;
    else if (option == "--exact-accepts") options.exact_accepts = true;
    else return false;
    return true;
}

std::string event_options_conflict(const Options& options) {
    if (!options.events) {
        if (options.opens) return "--opens works with --events only";
        if (options.debug) return "--debug works with --events only";
        if (options.exact_accepts) return "--exact-accepts works with --events only";
        if (options.tracked != 0) return "--tracked works with --events only";
        return "";
    }
    // The stream reports TCP connections as they end: no tables, no states
    // to pick, no listeners to list.
    if (options.udp) return "--events reports TCP connections only (no -u)";
    if (options.listening) return "--events reports connections, not listeners (no -l)";
    if (options.states != 0) return "--state makes no sense with --events (a record has every state it went through)";
    if (options.watch) return "--watch makes no sense with --events, which runs until interrupted";
    if (options.extended) return "-e makes no sense with --events (--json has every field)";
    return "";
}

} // namespace sockscope_tool
