// SPDX-License-Identifier: MIT
// sockscope: the machine's TCP or UDP sockets with every process that holds
// each, for people at a terminal and for scripts. See sockscope(1).
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include <sockscope_text/output.h>
#include <sockscope_text/terminal_text.h>

#include "caller_privilege.h"
#include "event_stream.h"
#include "top.h"
#include "interrupts.h"
#include "json_output.h"
#include "line_output.h"
#include "netns_names.h"
#include "options.h"
#include "socket_filter.h"
#include "summary_output.h"
#include "table_output.h"
#include "taken_snapshot.h"

using namespace sockscope_tool;
using sockscope_text::report_error;
using sockscope_text::write_all;

namespace {

constexpr const char* program = "sockscope";

enum class Form { table, lines, json };

struct Run {
    Run(const Options& given, std::uint64_t named_netns)
        : options(given), filter(options, named_netns), named_netns(named_netns) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    Options options;
    SocketFilter filter; // refers to options
    UserNames users;
    std::uint64_t named_netns; // the namespace --netns names, if it gives a name
    Form form = Form::lines;
    bool noted_hidden_owners = false;
    bool noted_skipped_namespaces = false;
    bool noted_left_out = false;
    std::string left_out_note; // said on stderr after the table that left columns out
};

winsize screen_size() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) size = {};
    return size;
}

std::string watch_title(std::chrono::milliseconds interval) {
    char clock[16] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    const auto tenths = interval.count() / 100;
    std::string title = "sockscope: every ";
    title += std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        title += '.';
        title += std::to_string(tenths % 10);
    }
    title += " s, ";
    title += clock;
    title += " (Ctrl-C ends)";
    return title;
}

// Whether the snapshot can be listed: false (after saying why) when it
// failed. Says once, too, when owners were hidden from the caller.
bool usable(Run& run, const TakenSnapshot& taken) {
    if (taken.error() != 0) {
        report_error(program, "cannot read the socket tables", taken.error());
        return false;
    }
    if (!run.noted_hidden_owners && owners_were_hidden(taken)) {
        const std::uint32_t unreadable = taken.header().unreadable_processes;
        std::string note = "note: " + std::to_string(unreadable);
        note += unreadable == 1 ? " process could not be inspected, so its sockets show"
                                : " processes could not be inspected, so their sockets show";
        // The cause this run can tell: it lacks CAP_SYS_PTRACE, or it has
        // it and was refused all the same (a security module, or a process
        // in a user namespace this run has no say in).
        if (may_inspect_other_users())
            note += unreadable == 1 ? " no owner (it refused even this run, which has CAP_SYS_PTRACE)"
                                    : " no owner (they refused even this run, which has CAP_SYS_PTRACE)";
        else
            note += " no owner (inspecting another user's process takes CAP_SYS_PTRACE, which root has)";
        report_error(program, note, 0);
        run.noted_hidden_owners = true;
    }
    const std::uint32_t skipped = skipped_namespaces(taken.header());
    if (run.named_netns != 0) {
        // One namespace asked for by name: the others' don't matter, and
        // that one read or not decides the answer.
        if (skipped > 0 && !has_rows_in(taken, run.named_netns) &&
            !named_netns_readable(*run.options.netns, run.named_netns)) {
            std::string error = "--netns: network namespace '";
            sockscope_text::append_escaped_utf8_name(error, run.options.netns->c_str());
            report_error(program, error + "' could not be read (entering it takes CAP_SYS_ADMIN; without it, a "
                                          "process in it that this user may inspect)", 0);
            return false;
        }
    } else if (skipped > 0 && !run.noted_skipped_namespaces) {
        std::string note = "note: " + std::to_string(skipped);
        note += skipped == 1 ? " network namespace could not be read, so its sockets are missing"
                             : " network namespaces could not be read, so their sockets are missing";
        // As for processes: the cause this run can tell.
        if (may_enter_namespaces())
            note += skipped == 1 ? " (it refused even this run, which has CAP_SYS_ADMIN)"
                                 : " (they refused even this run, which has CAP_SYS_ADMIN)";
        else
            note += " (reading every namespace takes CAP_SYS_ADMIN; root has it)";
        report_error(program, note, 0);
        run.noted_skipped_namespaces = true;
    }
    return true;
}

// Says which columns the last table left out, once, after that table.
void tell_left_out(Run& run) {
    if (run.left_out_note.empty()) return;
    report_error(program, "note: " + run.left_out_note, 0);
    run.left_out_note.clear();
}

// Writes one table in the run's form. `redraw`: a frame of --watch on a
// terminal. `destroyed`: -K's sockets.
void render(Run& run, const TakenSnapshot& taken, OutputBuffer& out, bool redraw,
            const std::vector<bool>* destroyed = nullptr) {
    const Listing listing{taken,
                          taken.header(),
                          run.filter,
                          run.users,
                          run.options.extended,
                          run.options.every_namespace(),
                          run.filter.selection().details,
                          destroyed};
    switch (run.form) {
    case Form::table: {
        const winsize size = screen_size();
        const std::size_t width = run.options.wide ? 0 : size.ws_col;
        const bool header = !run.options.no_header;
        std::vector<Column> left_out;
        if (redraw) {
            TerminalFrame frame(out, watch_title(*run.options.watch), size.ws_row, size.ws_col);
            left_out = write_table(listing, width, frame, header);
            frame.end();
        } else {
            PrintedLines lines(out);
            left_out = write_table(listing, width, lines, header);
        }
        // Once a run: --watch would repeat it every frame.
        if (!left_out.empty() && !run.noted_left_out) {
            run.noted_left_out = true;
            run.left_out_note = left_out_note(left_out, width);
        }
        break;
    }
    case Form::lines: write_lines(listing, out); break;
    case Form::json:
        if (run.options.watch) append_json_time_line(out.text(), std::chrono::system_clock::now(), listing.count());
        write_json(listing, out);
        break;
    }
}

int write_failed(int error) {
    report_error(program, "cannot write the output", error);
    return 1;
}

// -K: destroys each socket the filter passes, marking those destroyed. A
// socket closed in between is passed over; others the kernel refuses are
// said on stderr. False, said, when the caller may not destroy any.
bool destroy_listed(const Run& run, const TakenSnapshot& taken, std::vector<bool>& destroyed) {
    destroyed.assign(taken.count(), false);
    std::size_t done = 0, refused = 0;
    int refusal = 0;
    for (std::size_t i = 0; i < taken.count(); ++i) {
        const sockscope_socket& socket = taken.socket(i);
        if (!run.filter.passes(taken.header(), socket)) continue;
        if (sockscope_socket_destroy(&socket) == 0) {
            destroyed[i] = true;
            ++done;
            continue;
        }
        const int error = errno;
        if (error == ENOENT) continue;
        // Refused at the first socket tried: refused for every one.
        if ((error == EPERM || error == EOPNOTSUPP) && done + refused == 0) {
            report_error(program,
                         error == EPERM ? "cannot destroy sockets (it takes CAP_NET_ADMIN)"
                                        : "cannot destroy sockets (the kernel was built without SOCK_DESTROY)",
                         error);
            return false;
        }
        ++refused;
        refusal = error;
    }
    if (refused > 0)
        report_error(program, std::to_string(refused) + (refused == 1 ? " socket" : " sockets") + " not destroyed",
                     refusal);
    return true;
}

int list_once(Run& run) {
    const TakenSnapshot taken(run.filter);
    if (!usable(run, taken)) return 1;
    std::vector<bool> destroyed;
    if (run.options.kill && !destroy_listed(run, taken, destroyed)) return 1;
    OutputBuffer out([](std::string_view text) { return write_all(STDOUT_FILENO, text); });
    render(run, taken, out, false, run.options.kill ? &destroyed : nullptr);
    if (const int error = out.finish(); error != 0) return write_failed(error);
    tell_left_out(run);
    return 0;
}

// A fresh table every interval until SIGINT or SIGTERM. On a terminal the
// table is redrawn in place; as JSON each table starts with its time line;
// otherwise tables follow each other, separated by an empty line.
int watch(Run& run) {
    Interrupts interrupts;
    const bool redraw = run.form == Form::table;
    if (redraw) {
        if (const int error = interrupts.write(STDOUT_FILENO, "\033[H\033[2J"); error != 0)
            return interrupts.stop_requested() ? 0 : write_failed(error);
    }
    for (bool first = true;; first = false) {
        const auto next = std::chrono::steady_clock::now() + *run.options.watch;
        {
            TakenSnapshot taken(run.filter);
            if (!usable(run, taken)) return 1;
            OutputBuffer out([&interrupts](std::string_view text) { return interrupts.write(STDOUT_FILENO, text); });
            if (!first && run.form == Form::lines) out.text() += '\n';
            render(run, taken, out, redraw);
            if (const int error = out.finish(); error != 0)
                return interrupts.stop_requested() ? 0 : write_failed(error);
        }
        tell_left_out(run);
        if (!interrupts.wait_until(next)) return 0;
    }
}

int usage_error(const std::string& error) {
    write_all(STDERR_FILENO, std::string(program) + ": " + error + "\n" + usage_line + "\n");
    return 2;
}

// 0 when the filter expression is none or one the library takes; else
// says where it goes wrong, in one line, and gives the status to exit with.
int check_expression(const Options& options) {
    const std::string& expression = options.expression;
    if (expression.empty()) return 0;
    if (options.events) return usage_error("a filter expression selects from the tables, not --events");
    std::size_t position = 0;
    const char* reason = "";
    if (sockscope_expression_check(expression.c_str(), &position, &reason) == 0) return 0;
    if (errno == ENOMEM) {
        report_error(program, "out of memory", ENOMEM);
        return 1;
    }
    // Escaped as names are, word by word, so that blanks stay blanks.
    std::string error = "bad expression '";
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = expression.find(' ', start);
        const std::string word = expression.substr(start, end - start);
        if (start != 0) error += ' ';
        if (!word.empty()) sockscope_text::append_escaped_utf8_name(error, word.c_str());
    }
    error += "' at byte " + std::to_string(position + 1) + ": " + reason;
    report_error(program, error, 0);
    return 2;
}

int print(std::string_view text) {
    if (const int error = write_all(STDOUT_FILENO, text); error != 0) return write_failed(error);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const ParsedCommandLine parsed = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
        if (!parsed.error.empty()) return usage_error(parsed.error);
        if (parsed.options.help) return print(help_text());
        if (parsed.options.version) return print(std::string(program) + " " + SOCKSCOPE_TOOL_VERSION + "\n");

        // Names print in the character set of the user's terminal.
        std::setlocale(LC_ALL, "");
        if (const int status = check_expression(parsed.options); status != 0) return status;
        if (parsed.options.events) return run_events(parsed.options, isatty(STDOUT_FILENO) != 0);
        if (parsed.options.summary) return run_summary(parsed.options);
        if (parsed.options.top) return run_top(parsed.options, isatty(STDOUT_FILENO) != 0);

        // --netns: a namespace's name, or else an inode, which may have no
        // socket; a name that no namespace has is an error.
        const std::optional<std::string>& netns = parsed.options.netns;
        const std::uint64_t named_netns = netns ? named_netns_inode(*netns) : 0;
        if (netns && named_netns == 0 && netns->find_first_not_of("0123456789") != std::string::npos) {
            const bool other = errno == EINVAL;
            std::string error = "--netns: no network namespace is named '";
            sockscope_text::append_escaped_utf8_name(error, netns->c_str());
            error += other ? "' (that entry is no network namespace)" : "' (ip netns lists the names)";
            report_error(program, error, 0);
            return 1;
        }

        Run run(parsed.options, named_netns);
        run.form = run.options.json ? Form::json : isatty(STDOUT_FILENO) ? Form::table : Form::lines;
        return run.options.watch ? watch(run) : list_once(run);
    } catch (const std::bad_alloc&) {
        report_error(program, "out of memory", ENOMEM);
        return 1;
    }
}
