// SPDX-License-Identifier: MIT
// The command line of the sockscope tool, parsed without side effects.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sockscope_tool {

struct Options {
    bool tcp = false, udp = false;   // neither given: TCP
    bool ipv4 = false, ipv6 = false; // neither given: both
    bool listening = false;
    bool extended = false;
    bool wide = false;      // -W: the table ignores the terminal's width
    bool no_header = false; // -H: the table without its header line
    bool tcp_info = false;  // -i: each TCP connection's state in the kernel
    bool timers = false;    // -o: each TCP socket's timer
    bool memory = false;    // -m: each socket's memory
    bool kill = false;      // -K: destroy the sockets listed, and list those destroyed
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

    // --summary: the kernel's counts of the namespace's sockets instead of a table.
    bool summary = false;

    // --events: the connection stream instead of a table.
    bool events = false;
    bool opens = false;          // --opens: open records too
    bool debug = false;          // --debug: the stream's hooks on stderr
    bool exact_accepts = false;  // --exact-accepts: accepts seen at every system call's exit
    std::uint32_t tracked = 0;   // --tracked N: sockets followed at once; 0: the library's default

    // --top: a live view of connections and bytes per process.
    bool top = false;
    std::chrono::milliseconds interval{1000}; // --interval SECONDS
    bool by_container = false;                // --by container

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

// `arguments` without the program name. Uses getopt_long, so not from two
// threads at once.
ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments);

// The runs that take an option.
enum class OptionModes : unsigned char {
    any,    // the tables and --events
    tables, // the tables only: an error with --events
    events, // --events only: an error without it
};

// The part of --help that lists an option.
enum class HelpSection : unsigned char { tables, filters, namespaces, output, events, top };

// One option of the command line. The parser (getopt_long's tables), the
// text of --help and the checks of which run takes what are all made from
// the list of them, option_table().
struct OptionEntry {
    const char* name;  // the long name without "--"; nullptr: a letter only
    char letter;       // the short option; 0: none
    const char* value; // the value it needs, as --help names it ("N[,N...]"); nullptr: none
    HelpSection section;
    // Its lines in --help, later ones indented under the first; nullptr:
    // named on the line of the option before it (-a, -n, -p).
    const char* help;
    OptionModes modes;
    // OptionModes::tables: the error when it is given with --events.
    // OptionModes::any: its text under --events, if it is listed there too.
    const char* with_events;
    bool once;              // given twice is an error
    bool Options::*flag;    // what it sets; nullptr: a value's option, or one ignored
    // Takes the value; returns an error or "".
    std::string (*take)(Options& options, std::string_view value);
    // Whether --summary takes it; the others are an error with it.
    bool with_summary = false;
};

std::span<const OptionEntry> option_table();

// The one-line synopsis printed after a usage error.
extern const char* const usage_line;
// The text of --help.
std::string help_text();

} // namespace sockscope_tool
