// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <getopt.h>
#include <iterator>

#include "state_names.h"

namespace sockscope_tool {

const char* const usage_line = "usage: sockscope [-tul46eWHiomK] [--port N,...] [--pid N,...] [--name NAME] [--state S,...] "
                               "[--json] [--watch SECONDS] [-A] [--netns NS] [--container ID] [EXPRESSION]\n"
                               "       sockscope -s [-A] [--json]\n"
                               "       sockscope --events [-46A] [--port N,...] [--pid N,...] [--name NAME] "
                               "[--netns NS] [--container ID] [--opens] [--json] [--debug] [--tracked N] [--exact-accepts]\n"
                               "       sockscope --top [-tu46A] [--by process|container] [--interval SECONDS] [--json]";

namespace {

// The whole text as a decimal number: a digit first (no sign, no blank),
// nothing after the number.
template <typename Number>
bool parse_number(std::string_view text, Number& value) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Calls `take` with each comma-separated item of `value`; false when an
// item is empty or `take` refuses it.
template <typename Take>
bool for_each_item(std::string_view value, Take take) {
    for (;;) {
        const std::size_t comma = value.find(',');
        if (!take(value.substr(0, comma))) return false;
        if (comma == std::string_view::npos) return true;
        value.remove_prefix(comma + 1);
    }
}

std::string take_ports(Options& options, std::string_view value) {
    const bool read = for_each_item(value, [&](std::string_view item) {
        std::uint16_t port = 0;
        if (!parse_number(item, port) || port == 0) return false;
        options.ports.push_back(port);
        return true;
    });
    return read ? "" : "--port needs port numbers from 1 to 65535";
}

std::string take_pids(Options& options, std::string_view value) {
    const bool read = for_each_item(value, [&](std::string_view item) {
        std::uint32_t pid = 0;
        if (!parse_number(item, pid)) return false;
        options.pids.push_back(pid);
        return true;
    });
    return read ? "" : "--pid needs process ids";
}

std::string take_states(Options& options, std::string_view value) {
    std::string unknown;
    const bool read = for_each_item(value, [&](std::string_view item) {
        const std::uint32_t bit = state_bit_named(item);
        if (bit == 0) unknown = item;
        options.states |= bit;
        return bit != 0;
    });
    return read ? "" : "--state: no state is named '" + unknown + "' (see --help)";
}

std::string take_name(Options& options, std::string_view value) {
    if (value.empty()) return "--name needs a name";
    options.name = std::string(value);
    return "";
}

std::string take_netns(Options& options, std::string_view value) {
    if (value.empty()) return "--netns needs a value";
    if (value.find('/') != std::string_view::npos || value == "." || value == "..")
        return "--netns needs a name from /run/netns or an inode number";
    options.netns = std::string(value);
    return "";
}

std::string take_container(Options& options, std::string_view value) {
    if (value.empty()) return "--container needs a value";
    options.container = std::string(value);
    return "";
}

std::string take_watch(Options& options, std::string_view value) {
    double seconds = 0;
    if (!parse_number(value, seconds) || !(seconds >= 0.1 && seconds <= 86400))
        return "--watch needs a number of seconds from 0.1 to 86400";
    options.watch = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
    return "";
}

std::string take_interval(Options& options, std::string_view value) {
    double seconds = 0;
    if (!parse_number(value, seconds) || !(seconds >= 0.1 && seconds <= 3600))
        return "--interval needs a number of seconds from 0.1 to 3600";
    options.interval = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
    return "";
}

std::string take_by(Options& options, std::string_view value) {
    if (value != "process" && value != "container") return "--by needs process or container";
    options.by_container = value == "container";
    return "";
}

std::string take_tracked(Options& options, std::string_view value) {
    std::uint32_t count = 0;
    if (!parse_number(value, count) || count == 0 || count > 4194304)
        return "--tracked needs a number of sockets from 1 to 4194304";
    options.tracked = count;
    return "";
}

using enum HelpSection;
constexpr OptionModes any = OptionModes::any, tables_only = OptionModes::tables, events_only = OptionModes::events;

// In the order of --help, part by part. Of two options given where they
// make no sense, the error names the one listed first.
constexpr OptionEntry table[] = {
    {"tcp", 't', nullptr, tables, "TCP sockets (the default)", any, nullptr, false, &Options::tcp, nullptr},
    {"udp", 'u', nullptr, tables, "UDP sockets; with -t as well, both", tables_only,
     "--events reports TCP connections only (no -u)", false, &Options::udp, nullptr},
    {"ipv4", '4', nullptr, tables, "IPv4 sockets only", any, nullptr, false, &Options::ipv4, nullptr},
    {"ipv6", '6', nullptr, tables, "IPv6 sockets only (both families by default)", any, nullptr, false, &Options::ipv6,
     nullptr},
    {"listening", 'l', nullptr, tables,
     "listeners only: TCP sockets in LISTEN, unconnected\n"
     "UDP sockets (UNCONN)",
     tables_only, "--events reports connections, not listeners (no -l)", false, &Options::listening, nullptr},
    {nullptr, 'a', nullptr, tables,
     "accepted and ignored, so that \"sockscope -tanp\"\n"
     "works: every socket is listed, numerically, with\n"
     "its owners",
     any, nullptr, false, nullptr, nullptr, true},
    {nullptr, 'n', nullptr, tables, nullptr, any, nullptr, false, nullptr, nullptr, true},
    {nullptr, 'p', nullptr, tables, nullptr, any, nullptr, false, nullptr, nullptr, true},
    {"summary", 's', nullptr, tables,
     "instead of a table, the kernel's counts of this\n"
     "network namespace's sockets: totals by protocol\n"
     "and family, TCP established, closed, orphaned\n"
     "and in TIME_WAIT; with --json, one object (-A\n"
     "changes nothing: the kernel counts per namespace)",
     tables_only, "--summary makes no sense with --events", false, &Options::summary, nullptr, true},

    {"port", 0, "N[,N...]", filters, "local or remote port N", any, nullptr, false, nullptr, take_ports},
    {"pid", 0, "N[,N...]", filters,
     "held by process N, alone or with others (0: held by\n"
     "no process known)",
     any, nullptr, false, nullptr, take_pids},
    {"name", 0, "NAME", filters,
     "held by a process whose name, whole or as the\n"
     "kernel's 15-byte comm that ps shows, is NAME",
     any, nullptr, true, nullptr, take_name},
    {"state", 0, "S[,S...]", filters,
     "in state S: established (estab), syn_sent,\n"
     "syn_recv, fin_wait1, fin_wait2, time_wait, close,\n"
     "close_wait, last_ack, listen, closing, new_syn_recv,\n"
     "unconn (an unconnected UDP socket); any case",
     tables_only, "--state makes no sense with --events (a record has every state it went through)", false, nullptr,
     take_states},

    {"all-namespaces", 'A', nullptr, namespaces,
     "the sockets of every network namespace on the\n"
     "machine, with the columns Netns and Container",
     any, "every network namespace's connections", false, &Options::all_namespaces, nullptr, true},
    {"netns", 0, "NS", namespaces,
     "only the sockets of network namespace NS: its name\n"
     "(as ip netns lists it) or its inode; implies -A.\n"
     "A name no namespace has is an error",
     any,
     "the connections of namespace NS: a name under\n"
     "/run/netns, or an inode number",
     true, nullptr, take_netns},
    {"container", 0, "ID", namespaces,
     "held by a process of a container whose id (or\n"
     "name) starts with ID, in any case; implies -A",
     any,
     "connections of containers whose id starts with ID\n"
     "(in every namespace, unless --netns is given)",
     true, nullptr, take_container},

    {"json", 0, nullptr, output, "one JSON object per socket (see sockscope(1))", any, nullptr, false, &Options::json,
     nullptr, true},
    {"watch", 0, "SECONDS", output,
     "a fresh table every SECONDS (at least 0.1) until\n"
     "interrupted; on a terminal, redrawn in place",
     tables_only, "--watch makes no sense with --events, which runs until interrupted", true, nullptr, take_watch},
    {"extended", 'e', nullptr, output,
     "also the columns UID, Inode and Cookie, and each\n"
     "holder's descriptor number (pid/name:fd); in the\n"
     "table, V6only and Cgroup too",
     tables_only, "-e makes no sense with --events (--json has every field)", false, &Options::extended, nullptr},
    {"wide", 'W', nullptr, output,
     "the table as wide as its cells, whatever the\n"
     "terminal's width (no column left out, nothing cut)",
     tables_only, "--wide makes no sense with --events", false, &Options::wide, nullptr},
    {"no-header", 'H', nullptr, output, "the table without its header line", tables_only,
     "--no-header makes no sense with --events", false, &Options::no_header, nullptr},
    {"info", 'i', nullptr, output,
     "each TCP connection's state in the kernel (rtt,\n"
     "window, retransmissions, bytes, rates, congestion\n"
     "algorithm): in the table a line under its row",
     tables_only, "--info makes no sense with --events", false, &Options::tcp_info, nullptr},
    {"timers", 'o', nullptr, output,
     "each TCP socket's pending timer (retransmit,\n"
     "keepalive, time-wait, probe), when it fires and\n"
     "its retransmissions", tables_only, "--timers makes no sense with --events", false, &Options::timers,
     nullptr},
    {"kill", 'K', nullptr, filters,
     "destroy the sockets selected (a TCP connection is\n"
     "aborted, its peer gets a reset) and list those\n"
     "destroyed; needs CAP_NET_ADMIN; this network\n"
     "namespace only, once (no -A, --watch)",
     tables_only, "-K makes no sense with --events", false, &Options::kill, nullptr},
    {"memory", 'm', nullptr, output,
     "each socket's memory: buffers used and their\n"
     "limits, queued, options, backlog, drops",
     tables_only, "--memory makes no sense with --events", false, &Options::memory, nullptr},
    {"help", 'h', nullptr, output, "this help", any, nullptr, false, &Options::help, nullptr, true},
    {"version", 'V', nullptr, output, "the version", any, nullptr, false, &Options::version, nullptr, true},

    {"events", 0, nullptr, HelpSection::events,
     "instead of a table, a line for every TCP connection\n"
     "of this network namespace as it closes, until\n"
     "interrupted (Ctrl-C, SIGTERM), which prints \"N\n"
     "connections seen, M lost\" on stderr, and what\n"
     "became of every record (written, read and not\n"
     "written, left in the kernel's buffer); needs\n"
     "CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN (root)",
     events_only, nullptr, false, &Options::events, nullptr},
    {"opens", 0, nullptr, HelpSection::events, "a line when a connection opens, too", events_only, nullptr, false,
     &Options::opens, nullptr},
    {"debug", 0, nullptr, HelpSection::events,
     "the kernel hooks in use (stderr), and the\n"
     "stream's counters at the end",
     events_only, nullptr, false, &Options::debug, nullptr},
    {"exact-accepts", 0, nullptr, HelpSection::events,
     "where the kernel refuses a program at its accept\n"
     "function (--debug says), name an accepted\n"
     "connection's owner at accept's return, not at its\n"
     "first send or receive; every system call of every\n"
     "process then pays for it (1.5x for getppid here)",
     events_only, nullptr, false, &Options::exact_accepts, nullptr},
    {"tracked", 0, "N", HelpSection::events,
     "follow up to N sockets at once (default 32768,\n"
     "about 200 bytes of kernel memory each)",
     events_only, nullptr, true, nullptr, take_tracked},

    {"top", 0, nullptr, HelpSection::top,
     "instead of a table, a live view of every process\n"
     "with connections: open, opened and closed a second,\n"
     "bytes sent and received a second, busiest first;\n"
     "q or Ctrl-C quits. Bytes are TCP's: the growth of\n"
     "each connection's kernel counters between two\n"
     "looks, and with CAP_BPF and CAP_PERFMON the bytes of\n"
     "connections that closed between them. A UDP socket\n"
     "(-u) counts as open, with no bytes",
     any, nullptr, true, &Options::top, nullptr},
    {"by", 0, "WHAT", HelpSection::top, "process (the default) or container", any, nullptr, true, nullptr, take_by},
    {"interval", 0, "SECONDS", HelpSection::top, "between two looks (default 1, at least 0.1)", any, nullptr, true,
     nullptr, take_interval},
};

struct SectionText {
    const char* title;
    const char* after; // said after its options
};

constexpr SectionText sections[] = { // in the order of HelpSection
    {"Tables", ""},
    {"Filters (all given must match; a list matches any of its values)",
     "  --port, --pid and --state may also be given more than once.\n"
     "  The words after the options make a filter expression as ss(8) takes it\n"
     "  (see sockscope(1)): 'state established ( dport = :ssh or sport = :ssh )',\n"
     "  'src 10.0.0.0/8', 'dport >= :1024 and not dst [::1]'.\n"},
    {"Namespaces", ""},
    {"Output", ""},
    {"Connections as they close (--events)",
     "  -4, -6, --port, --name and --json apply; --pid is the owner's: the\n"
     "  process that connected, accepted or listened (0: not known). A line:\n"
     "    Time PID/Name Side Local Remote End Lifetime Sent Received States\n"
     "  15:04:05.123 812/curl connect 10.0.0.2:40312 93.184.216.34:443 normal\n"
     "  1.2s 517 5120 SYN_SENT>ESTAB>FIN_WAIT1>FIN_WAIT2>CLOSE (one line; End:\n"
     "  normal, reset-sent, reset-received, refused, timed-out, abandoned,\n"
     "  failed:ERRNO; open with --opens). Lost records are noted on stderr as\n"
     "  they happen. See sockscope(1) for --json's members.\n"},
    {"Connections and bytes a second by process (--top)",
     "  -t, -u, -4, -6 and -A apply; --json writes one line per interval.\n"},
};
static_assert(std::size(sections) == static_cast<std::size_t>(HelpSection::top) + 1);

constexpr const char* help_start = R"(Usage: sockscope [OPTION]...
Lists the machine's TCP sockets (or UDP sockets) with every process that
holds each one.
)";

constexpr const char* help_end = R"(
Columns:
  Proto                  tcp, udp; tcp6, udp6 for IPv6
  Recv-Q, Send-Q         bytes not read yet, and not sent or acknowledged
                         yet; a listener: connections waiting to be
                         accepted, and how many may wait
  Local Address, Port    "*" for a listener on every IPv6 and IPv4 address
                         (dual stack); a link-local address with its
                         interface (fe80::1%eth0)
  Peer Address, Port     the other end (a connected UDP socket's too)
  State                  ESTAB (ESTABLISHED), LISTEN, TIME_WAIT, ...;
                         UNCONN for an unconnected UDP socket
  Netns                  (with -A) the socket's network namespace: its
                         name under /run/netns, else its inode
  Container              (with -A) the container of its first owner that
                         runs in one: 12 digits of the id, or a name
  User                   the socket's user: its name, or its number
  UID, Inode, Cookie     (with -e) the user's number, the socket's inode and
                         the kernel's socket cookie (in the table in hex,
                         sk:f432e; a number in the lines and --json)
  V6only, Cgroup         (with -e, in the table) an IPv6 listener's or
                         unconnected UDP socket's IPV6_V6ONLY (1 or 0), and
                         the cgroup path of its first holder that has one
  PID/Name               every process holding the socket, lowest pid
                         first: 1234/nginx,1240/nginx
A field that does not apply or is not known is "-".

On a terminal the table has a header and aligned columns, and fits the
screen's width: long addresses are elided in the middle, then columns give
way (sockscope(1) says in which order), and a line on stderr names those
left out; PID/Name stays, and its holders are never cut. Otherwise each
socket is one line, its fields separated by single spaces, never cut.
Names are escaped as in /proc/self/mounts (a blank is \040, a backslash
\134, a control character its octal code), and so is a comma in a process
name (\054). Exit status: 0 success (also when no socket matches), 1 error,
2 bad command line.
)";

// How an option is named in errors: its long name, else its letter.
std::string label(const OptionEntry& entry) {
    return entry.name != nullptr ? "--" + std::string(entry.name) : std::string("-") + entry.letter;
}

// One option's line of --help, and the lines of its text after it.
void append_help(std::string& text, const OptionEntry* entry, const char* help) {
    constexpr std::size_t help_column = 25;
    const std::size_t start = text.size();
    text += "  ";
    text += entry->letter != 0 ? std::string("-") + entry->letter : "  ";
    // The options after it that have no text of their own share its line.
    for (const OptionEntry* next = entry + 1; next != std::end(table) && next->help == nullptr; ++next)
        text += std::string(", -") + next->letter;
    if (entry->name != nullptr) {
        text += entry->letter != 0 ? ", --" : "  --";
        text += entry->name;
    }
    if (entry->value != nullptr) {
        text += ' ';
        text += entry->value;
    }
    text.append(help_column - std::min(text.size() - start, help_column - 1), ' ');
    for (const char* line = help; *line != '\0'; ++line) {
        text += *line;
        if (*line == '\n') text.append(help_column, ' ');
    }
    text += '\n';
}

// A word that is no option is part of the filter expression, which the
// library checks.
void add_expression_word(Options& options, std::string_view word) {
    if (!options.expression.empty()) options.expression += ' ';
    options.expression += word;
}

// getopt_long's codes of the long options: past every letter's.
constexpr int long_code = 256;

// getopt_long takes an unambiguous start of a long name for the name; the
// tool takes whole names only, so that a name added later can't change
// what a command line means. "" or the error.
std::string whole_long_name(std::string_view argument) {
    if (argument.size() <= 2 || argument.substr(0, 2) != "--") return "";
    const std::string_view option = argument.substr(0, argument.find('='));
    const bool known = std::any_of(std::begin(table), std::end(table), [&](const OptionEntry& entry) {
        return entry.name != nullptr && option.substr(2) == entry.name;
    });
    return known ? "" : "unknown option '" + std::string(option) + "'";
}

// After the whole command line: an error when options that only make sense
// with --events are given without it, or ones that make no sense with it
// (or with --summary) are given with it; "" otherwise.
std::string clash_with_events(const Options& options, const std::vector<bool>& given) {
    for (std::size_t i = 0; i < std::size(table); ++i) {
        if (!given[i]) continue;
        if (!options.events && table[i].modes == events_only) return label(table[i]) + " works with --events only";
        // The stream reports TCP connections as they end: no tables, no
        // states to pick, no listeners to list.
        if (options.events && table[i].modes == tables_only) return table[i].with_events;
        // The summary is the kernel's counts of every socket: nothing to
        // pick, nothing to lay out.
        if (options.summary && !table[i].with_summary)
            return label(table[i]) + " makes no sense with --summary (it counts every socket)";
    }
    if (options.summary && !options.expression.empty())
        return "a filter expression selects from the tables, not --summary";
    return "";
}

// --top takes the protocols, families, -A and --json; --by and --interval
// are its own.
std::string clash_with_top(const Options& options, const std::vector<bool>& given) {
    static constexpr std::string_view with_top[] = {"tcp", "udp", "ipv4", "ipv6", "all-namespaces", "json",
                                                    "help", "version", "top", "by", "interval"};
    for (std::size_t i = 0; i < std::size(table); ++i) {
        if (!given[i]) continue;
        const std::string_view name = table[i].name != nullptr ? table[i].name : "";
        const bool own = name == "by" || name == "interval";
        if (!options.top && own) return label(table[i]) + " works with --top only";
        if (options.top && table[i].name != nullptr && std::find(std::begin(with_top), std::end(with_top), name) == std::end(with_top))
            return label(table[i]) + " makes no sense with --top";
    }
    if (options.top && !options.expression.empty()) return "a filter expression makes no sense with --top";
    return "";
}

} // namespace

std::span<const OptionEntry> option_table() { return table; }

std::string help_text() {
    std::string text = help_start;
    for (std::size_t section = 0; section < std::size(sections); ++section) {
        text += '\n';
        text += sections[section].title;
        text += ":\n";
        for (const OptionEntry* entry = std::begin(table); entry != std::end(table); ++entry)
            if (static_cast<std::size_t>(entry->section) == section && entry->help != nullptr)
                append_help(text, entry, entry->help);
        // Under --events, too, the options of both runs that say more there.
        if (section == static_cast<std::size_t>(HelpSection::events))
            for (const OptionEntry* entry = std::begin(table); entry != std::end(table); ++entry)
                if (entry->modes == any && entry->with_events != nullptr) append_help(text, entry, entry->with_events);
        text += sections[section].after;
    }
    return text + help_end;
}

ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    const auto fail = [&](std::string error) {
        parsed.error = std::move(error);
        return parsed;
    };

    // getopt_long's tables. "-": arguments that are no option come in
    // their place (as code 1), so the first thing wrong is the one told;
    // ":": a missing value is told apart from an unknown option.
    std::string letters = "-:";
    std::vector<option> long_options;
    for (const OptionEntry& entry : table) {
        const int code = long_code + static_cast<int>(&entry - std::begin(table));
        if (entry.letter != 0) letters += entry.letter;
        if (entry.letter != 0 && entry.value != nullptr) letters += ':';
        if (entry.name != nullptr)
            long_options.push_back({entry.name, entry.value != nullptr ? required_argument : no_argument, nullptr, code});
    }
    long_options.push_back({});
    std::vector<std::string> texts{"sockscope"};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(texts.size());

    const auto entry_of = [&](int code) -> const OptionEntry* {
        if (code >= long_code) return &table[code - long_code];
        const auto found = std::find_if(std::begin(table), std::end(table), [&](const OptionEntry& entry) {
            return entry.letter != 0 && entry.letter == code;
        });
        return found != std::end(table) ? found : nullptr;
    };
    std::vector<bool> given(std::size(table));
    optind = 0; // starts afresh, forgetting any earlier command line
    opterr = 0;
    for (;;) {
        if (const int next = std::max(optind, 1); next < argc)
            if (std::string error = whole_long_name(argv[next]); !error.empty()) return fail(error);
        const int code = getopt_long(argc, argv.data(), letters.c_str(), long_options.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            add_expression_word(options, optarg);
            continue;
        }
        if (code == ':') return fail(label(*entry_of(optopt)) + " needs a value");
        const OptionEntry* entry = entry_of(code);
        if (entry == nullptr) { // '?'
            if (optopt >= long_code) return fail(label(table[optopt - long_code]) + " takes no value");
            if (optopt == 0) { // a long name whole_long_name let through: not expected
                const std::string& argument = texts[static_cast<std::size_t>(optind - 1)];
                return fail("unknown option '" + argument.substr(0, argument.find('=')) + "'");
            }
            return fail(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        }
        const std::size_t index = static_cast<std::size_t>(entry - std::begin(table));
        if (entry->once && given[index]) return fail(label(*entry) + " given twice");
        given[index] = true;
        if (entry->flag != nullptr) options.*(entry->flag) = true;
        if (entry->take != nullptr)
            if (std::string error = entry->take(options, optarg != nullptr ? optarg : ""); !error.empty())
                return fail(error);
    }
    // After "--", every word is the expression's.
    for (; optind < argc; ++optind) add_expression_word(options, texts[static_cast<std::size_t>(optind)]);
    if (std::string error = clash_with_events(options, given); !error.empty()) return fail(error);
    if (std::string error = clash_with_top(options, given); !error.empty()) return fail(error);
    if (options.kill && (options.watch || options.every_namespace()))
        return fail("-K destroys the sockets of this network namespace once: not with --watch, -A, --netns or "
                    "--container");
    return parsed;
}

} // namespace sockscope_tool
