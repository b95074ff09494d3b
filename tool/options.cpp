// SPDX-License-Identifier: MIT
#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "event_options.h"
#include "state_names.h"

namespace sockscope_tool {

const char* const usage_line = "usage: sockscope [-tul46e] [--port N,...] [--pid N,...] [--name NAME] [--state S,...] "
                               "[--json] [--watch SECONDS] [-A] [--netns NS] [--container ID] [EXPRESSION]\n"
                               "       sockscope --events [-46A] [--port N,...] [--pid N,...] [--name NAME] "
                               "[--netns NS] [--container ID] [--opens] [--json] [--debug] [--tracked N] [--exact-accepts]";

const char* const help_text = R"(Usage: sockscope [OPTION]...
Lists the machine's TCP sockets (or UDP sockets) with every process that
holds each one.

Tables:
  -t, --tcp              TCP sockets (the default)
  -u, --udp              UDP sockets; with -t as well, both
  -4, --ipv4             IPv4 sockets only
  -6, --ipv6             IPv6 sockets only (both families by default)
  -l, --listening        listeners only: TCP sockets in LISTEN, unconnected
                         UDP sockets (UNCONN)
  -a, -n, -p             accepted and ignored, so that "sockscope -tanp"
                         works: every socket is listed, numerically, with
                         its owners

Filters (all given must match; a list matches any of its values):
      --port N[,N...]    local or remote port N
      --pid N[,N...]     held by process N, alone or with others (0: held by
                         no process known)
      --name NAME        held by a process whose name, whole or as the
                         kernel's 15-byte comm that ps shows, is NAME
      --state S[,S...]   in state S: established (estab), syn_sent,
                         syn_recv, fin_wait1, fin_wait2, time_wait, close,
                         close_wait, last_ack, listen, closing, new_syn_recv,
                         unconn (an unconnected UDP socket); any case
  --port, --pid and --state may also be given more than once.
  The words after the options make a filter expression as ss(8) takes it
  (see sockscope(1)): 'state established ( dport = :ssh or sport = :ssh )',
  'src 10.0.0.0/8', 'dport >= :1024 and not dst [::1]'.

Namespaces:
  -A, --all-namespaces   the sockets of every network namespace on the
                         machine, with the columns Netns and Container
      --netns NS         only the sockets of network namespace NS: its name
                         (as ip netns lists it) or its inode; implies -A.
                         A name no namespace has is an error
      --container ID     held by a process of a container whose id (or
                         name) starts with ID, in any case; implies -A

Output:
  -e, --extended         also the columns UID, Inode and Cookie, and each
                         holder's descriptor number (pid/name:fd)
      --json             one JSON object per socket (see sockscope(1))
      --watch SECONDS    a fresh table every SECONDS (at least 0.1) until
                         interrupted; on a terminal, redrawn in place
  -h, --help             this help
  -V, --version          the version

Connections as they close (--events):
      --events           instead of a table, a line for every TCP connection
                         of this network namespace as it closes, until
                         interrupted (Ctrl-C, SIGTERM), which prints "N
                         connections seen, M lost" on stderr, and what
                         became of every record (written, read and not
                         written, left in the kernel's buffer); needs
                         CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN (root)
      --opens            a line when a connection opens, too
  -A, --all-namespaces   every network namespace's connections
      --netns NS         the connections of namespace NS: a name under
                         /run/netns, or an inode number
      --container ID     connections of containers whose id starts with ID
                         (in every namespace, unless --netns is given)
      --debug            the kernel hooks in use (stderr), and the
                         stream's counters at the end
      --tracked N        follow up to N sockets at once (default 32768,
                         about 200 bytes of kernel memory each)
      --exact-accepts    where the kernel refuses a program at its accept
                         function (--debug says), name an accepted
                         connection's owner at accept's return, not at its
                         first send or receive; every system call of every
                         process then pays for it (1.5x for getppid here)
  -4, -6, --port, --name and --json apply; --pid is the owner's: the
  process that connected, accepted or listened (0: not known). A line:
    Time PID/Name Side Local Remote End Lifetime Sent Received States
  15:04:05.123 812/curl connect 10.0.0.2:40312 93.184.216.34:443 normal
  1.2s 517 5120 SYN_SENT>ESTAB>FIN_WAIT1>FIN_WAIT2>CLOSE (one line; End:
  normal, reset-sent, reset-received, refused, timed-out, abandoned,
  failed:ERRNO; open with --opens). Lost records are noted on stderr as
  they happen. See sockscope(1) for --json's members.

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
                         the kernel's socket cookie
  PID/Name               every process holding the socket, lowest pid
                         first: 1234/nginx,1240/nginx
A field that does not apply or is not known is "-".

On a terminal the table has a header and aligned columns, and fits the
screen's width: long addresses are elided in the middle, then columns give
way (sockscope(1) says in which order); PID/Name stays. Otherwise each
socket is one line, its fields separated by single spaces, never cut.
Names are escaped as in /proc/self/mounts (a blank is \040, a backslash
\134, a control character its octal code), and so is a comma in a process
name (\054). Exit status: 0 success (also when no socket matches), 1 error,
2 bad command line.
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

// Applies one option that takes a value; returns an error or "".
std::string apply_value(Options& options, std::string_view option, std::string_view value) {
    const auto twice = [&] { return std::string(option) + " given twice"; };
    if (option == "--port") {
        const bool read = for_each_item(value, [&](std::string_view item) {
            std::uint16_t port = 0;
            if (!parse_decimal(item, port) || port == 0) return false;
            options.ports.push_back(port);
            return true;
        });
        if (!read) return "--port needs port numbers from 1 to 65535";
    } else if (option == "--pid") {
        const bool read = for_each_item(value, [&](std::string_view item) {
            std::uint32_t pid = 0;
            if (!parse_decimal(item, pid)) return false;
            options.pids.push_back(pid);
            return true;
        });
        if (!read) return "--pid needs process ids";
    } else if (option == "--state") {
        std::string unknown;
        const bool read = for_each_item(value, [&](std::string_view item) {
            const std::uint32_t bit = state_bit_named(item);
            if (bit == 0) unknown = item;
            options.states |= bit;
            return bit != 0;
        });
        if (!read) return "--state: no state is named '" + unknown + "' (see --help)";
    } else if (option == "--netns" || option == "--container") {
        std::optional<std::string>& field = option == "--netns" ? options.netns : options.container;
        if (field) return twice();
        if (value.empty()) return std::string(option) + " needs a value";
        if (option == "--netns" && (value.find('/') != std::string_view::npos || value == "." || value == ".."))
            return "--netns needs a name from /run/netns or an inode number";
        field = std::string(value);
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
    return option == "--port" || option == "--pid" || option == "--name" || option == "--state" || option == "--watch" ||
           option == "--netns" || option == "--container";
}

// Sets the flag of a long option without a value; false if there is none.
bool apply_long_flag(Options& options, std::string_view option) {
    if (option == "--tcp") options.tcp = true;
    else if (option == "--udp") options.udp = true;
    else if (option == "--ipv4") options.ipv4 = true;
    else if (option == "--ipv6") options.ipv6 = true;
    else if (option == "--listening") options.listening = true;
    else if (option == "--extended") options.extended = true;
    else if (option == "--json") options.json = true;
    else if (option == "--all-namespaces") options.all_namespaces = true;
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
    case 'e': options.extended = true; break;
    case 'h': options.help = true; break;
    case 'V': options.version = true; break;
    case 'A': options.all_namespaces = true; break;
    case 'a': case 'n': case 'p': break;
    default: return false;
    }
    return true;
}

// A word that is no option is part of the filter expression, which the
// library checks.
void add_expression_word(Options& options, std::string_view word) {
    if (!options.expression.empty()) options.expression += ' ';
    options.expression += word;
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
            while (++i < arguments.size()) add_expression_word(options, arguments[i]);
            break;
        }
        if (argument.substr(0, 2) == "--") {
            const std::size_t equals = argument.find('=');
            const std::string_view option = argument.substr(0, equals);
            if (const bool of_events = is_event_value_option(option); of_events || takes_value(option)) {
                std::string_view value;
                if (equals != std::string_view::npos) {
                    value = argument.substr(equals + 1);
                } else if (i + 1 < arguments.size()) {
                    value = arguments[++i];
                } else {
                    return fail(std::string(option) + " needs a value");
                }
                const std::string error =
                    of_events ? apply_event_value(options, option, value) : apply_value(options, option, value);
                if (!error.empty()) return fail(error);
            } else if (apply_event_flag(options, option) || apply_long_flag(options, option)) {
                if (equals != std::string_view::npos) return fail(std::string(option) + " takes no value");
            } else {
                return fail("unknown option '" + std::string(option) + "'");
            }
        } else if (argument.size() > 1 && argument.front() == '-') {
            for (const char letter : argument.substr(1))
                if (!apply_short_flag(options, letter)) return fail(std::string("unknown option '-") + letter + "'");
        } else {
            add_expression_word(options, argument);
        }
    }
    if (std::string error = event_options_conflict(options); !error.empty()) return fail(error);
    return parsed;
}

} // namespace sockscope_tool
