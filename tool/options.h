// SPDX-License-Identifier: MIT
// The command line of the sockscope tool, parsed without side effects.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sockscope_tool {

struct Options {
    bool tcp = false, udp = false;   // neither given: TCP
    bool ipv4 = false, ipv6 = false; // neither given: both
    bool listening = false;
    bool extended = false;
    std::vector<std::uint16_t> ports; // local or remote port is one of them; empty: any
    std::vector<std::uint32_t> pids;  // held by one of them (0: by no known process); empty: any
    std::optional<std::string> name;  // held by a process of that name or comm
    std::uint32_t states = 0;         // SOCKSCOPE_STATE_BIT of each state asked for; 0: any
    // The words after the options, joined by blanks: a filter expression
    // as ss takes it (sockscope_selection.expression); empty: none.
    std::string expression;
    bool json = false;
    std::optional<std::chrono::milliseconds> watch;
    bool help = false, version = false;
    // Every network namespace (-A); --netns and --container imply it.
    bool all_namespaces = false;
    std::optional<std::string> netns;     // its name under /run/netns, or its inode
    std::optional<std::string> container; // the start of an owner's container id or name
    // (--events takes all three as filters of the records: event_filter.h.)

    // --events: the connection stream instead of a table (event_options.cpp).
    bool events = false;
    bool opens = false;          // --opens: open records too
    bool debug = false;          // --debug: the stream's hooks on stderr
    bool exact_accepts = false;  // --exact-accepts: accepts seen at every system call's exit
    std::uint32_t tracked = 0;   // --tracked N: sockets followed at once; 0: the library's default

    bool wants_tcp() const { return tcp || !udp; }
    bool wants_udp() const { return udp; }
    bool wants_ipv4() const { return ipv4 || !ipv6; }
    bool wants_ipv6() const { return ipv6 || !ipv4; }
    bool every_namespace() const { return all_namespaces || netns || container; }
};

struct ParsedCommandLine {
    Options options;
    std::string error; // non-empty: a usage error, said in a few words
};

// `arguments` without the program name.
ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments);

// The one-line synopsis printed after a usage error.
extern const char* const usage_line;
// The text of --help.
extern const char* const help_text;

} // namespace sockscope_tool
