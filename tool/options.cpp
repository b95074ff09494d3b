// SPDX-License-Identifier: MIT
#include "options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace sockscope_tool {

const char* const usage_line =
    "usage: sockscope [-tul46] [--port N] [--pid N] [--name NAME] [--json] [--watch SECONDS]";

const char* const help_text = R"(Usage: sockscope [OPTION]...
Lists the machine's TCP sockets (or UDP sockets) with the process that owns
each one: local and remote address and port, state, process id and name.

Tables:
  -t, --tcp              TCP sockets (the default)
  -u, --udp              UDP sockets; with -t as well, both
  -4, --ipv4             IPv4 sockets only
  -6, --ipv6             IPv6 sockets only (both families by default)
  -l, --listening        listening TCP sockets only (UDP sockets: all)
  -a, -n, -p             accepted and ignored, so that "sockscope -tanp"
                         works: every socket is listed, numerically, with
                         its owner

Filters (all given must match):
      --port N           local or remote port N
      --pid N            owned by process N (0: owner unknown)
      --name NAME        owned by a process whose name is exactly NAME

Output:
      --json             one JSON object per socket (see sockscope(1))
      --watch SECONDS    a fresh table every SECONDS (at least 0.1) until
                         interrupted; on a terminal, redrawn in place
  -h, --help             this help
  -V, --version          the version

On a terminal the table has aligned columns and a header; otherwise one
socket per line, fields separated by single spaces. Names are escaped as in
/proc/self/mounts (a blank is \040, a backslash \134, a control character its
octal code). Exit status: 0 success, 1 error, 2 bad command line.
)";

namespace {

template <typename Number>
bool parse_decimal(std::string_view text, Number& value) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool parse_seconds(std::string_view text, std::chrono::milliseconds& interval) {
    double seconds = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds)) return false;
    if (seconds < 0.1 || seconds > 86400) return false;
    interval = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
    return true;
}

// Applies one option that takes a value; returns an error or "".
std::string apply_value(Options& options, std::string_view option, std::string_view value) {
    const auto twice = [&] { return std::string(option) + " given twice"; };
    if (option == "--port") {
        if (options.port) return twice();
        std::uint16_t port = 0;
        if (!parse_decimal(value, port) || port == 0) return "--port needs a port number from 1 to 65535";
        options.port = port;
    } else if (option == "--pid") {
        if (options.pid) return twice();
        std::uint32_t pid = 0;
        if (!parse_decimal(value, pid)) return "--pid needs a process id";
        options.pid = pid;
    } else if (option == "--name") {
        if (options.name) return twice();
        if (value.empty()) return "--name needs a name";
        options.name = std::string(value);
    } else {
        if (options.watch) return twice();
        std::chrono::milliseconds interval{};
        if (!parse_seconds(value, interval)) return "--watch needs a number of seconds from 0.1 to 86400";
        options.watch = interval;
    }
    return "";
}

bool takes_value(std::string_view option) {
    return option == "--port" || option == "--pid" || option == "--name" || option == "--watch";
}

// Sets the flag of a long option without a value; false if there is none.
bool apply_long_flag(Options& options, std::string_view option) {
    if (option == "--tcp") options.tcp = true;
    else if (option == "--udp") options.udp = true;
    else if (option == "--ipv4") options.ipv4 = true;
    else if (option == "--ipv6") options.ipv6 = true;
    else if (option == "--listening") options.listening = true;
    else if (option == "--json") options.json = true;
    else if (option == "--help") options.help = true;
    else if (option == "--version") options.version = true;
    else return false;
    return true;
}

bool apply_short_flag(Options& options, char letter) {
    switch (letter) {
    case 't': options.tcp = true; break;
    case 'u': options.udp = true; break;
    case '4': options.ipv4 = true; break;
    case '6': options.ipv6 = true; break;
    case 'l': options.listening = true; break;
    case 'h': options.help = true; break;
    case 'V': options.version = true; break;
    case 'a': case 'n': case 'p': break;
    default: return false;
    }
    return true;
}

} // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    const auto fail = [&](std::string error) {
        parsed.error = std::move(error);
        return parsed;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--") {
            if (i + 1 < arguments.size()) return fail("unexpected argument '" + arguments[i + 1] + "'");
            break;
        }
        if (argument.substr(0, 2) == "--") {
            const std::size_t equals = argument.find('=');
            const std::string_view option = argument.substr(0, equals);
            if (takes_value(option)) {
                std::string_view value;
                if (equals != std::string_view::npos) {
                    value = argument.substr(equals + 1);
                } else if (i + 1 < arguments.size()) {
                    value = arguments[++i];
                } else {
                    return fail(std::string(option) + " needs a value");
                }
                if (std::string error = apply_value(options, option, value); !error.empty()) return fail(error);
            } else if (apply_long_flag(options, option)) {
                if (equals != std::string_view::npos) return fail(std::string(option) + " takes no value");
            } else {
                return fail("unknown option '" + std::string(option) + "'");
            }
        } else if (argument.size() > 1 && argument.front() == '-') {
            for (const char letter : argument.substr(1))
                if (!apply_short_flag(options, letter)) return fail(std::string("unknown option '-") + letter + "'");
        } else {
            return fail("unexpected argument '" + std::string(argument) + "'");
        }
    }
    return parsed;
}

} // namespace sockscope_tool
