// SPDX-License-Identifier: MIT
// sockscope: the machine's TCP or UDP sockets with the process that owns
// each, for people at a terminal and for scripts. See sockscope(1).
#include <cerrno>
#include <clocale>
#include <ctime>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include <sockscope/sockscope.h>
#include <sockscope_text/output.h>

#include "interrupts.h"
#include "json_output.h"
#include "options.h"
#include "row_filter.h"
#include "table_kinds.h"
#include "text_output.h"

using namespace sockscope_tool;
using sockscope_text::report_error;
using sockscope_text::write_all;

namespace {

constexpr const char* program = "sockscope";

enum class Form { table, lines, json };

struct Run {
    Options options;
    std::vector<TableKind> kinds;
    Form form = Form::lines;
    bool noted_hidden_owners = false;
};

std::vector<TableKind> chosen_kinds(const Options& options) {
    std::vector<TableKind> chosen;
    for (const TableKind& kind : table_kinds()) {
        const bool protocol = kind.protocol == ListedSocket::Protocol::tcp ? options.wants_tcp() : options.wants_udp();
        const bool family = kind.family == ListedSocket::Family::ipv4 ? options.wants_ipv4() : options.wants_ipv6();
        if (protocol && family) chosen.push_back(kind);
    }
    return chosen;
}

// Reads the chosen tables and keeps the rows the filters let through.
// Returns false (after saying why) when a table could not be read.
bool read_tables(Run& run, std::vector<ListedSocket>& shown) {
    sockscope library;
    std::vector<ListedSocket> rows;
    for (const TableKind& kind : run.kinds) {
        if (const int error = kind.fetch(library, kind.family, rows); error != 0) {
            report_error(program, std::string("cannot read the ") + table_title(kind) + " table", error);
            return false;
        }
    }
    if (!run.noted_hidden_owners && owners_were_hidden(rows) && !may_inspect_every_process()) {
        report_error(
            program, "note: without CAP_SYS_PTRACE (root has it), sockets of processes this user may not inspect show no owner", 0);
        run.noted_hidden_owners = true;
    }
    for (auto& row : rows)
        if (is_shown(row, run.options)) shown.push_back(std::move(row));
    return true;
}

unsigned screen_rows() {
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
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

std::string render(const Run& run, const std::vector<ListedSocket>& rows, bool redraw) {
    std::string text;
    if (run.form == Form::table) {
        const auto lines = table_lines(rows);
        if (redraw) return terminal_frame(watch_title(*run.options.watch), lines, screen_rows());
        for (const auto& line : lines) {
            text += line;
            text += '\n';
        }
    } else {
        for (const auto& row : rows) {
            if (run.form == Form::json)
                append_json_line(text, row);
            else
                append_plain_line(text, row);
        }
    }
    return text;
}

int write_failed(int error) {
    report_error(program, "cannot write the output", error);
    return 1;
}

int list_once(Run& run) {
    std::vector<ListedSocket> rows;
    if (!read_tables(run, rows)) return 1;
    if (const int error = write_all(STDOUT_FILENO, render(run, rows, false)); error != 0)
        return write_failed(error);
    return 0;
}

// A fresh table every interval until SIGINT or SIGTERM. On a terminal the
// table is redrawn in place; elsewhere tables follow each other, separated
// by an empty line.
int watch(Run& run) {
    Interrupts interrupts;
    const bool redraw = run.form == Form::table;
    if (redraw) {
        if (const int error = interrupts.write(STDOUT_FILENO, "\033[H\033[2J"); error != 0)
            return interrupts.stop_requested() ? 0 : write_failed(error);
    }
    for (bool first = true;; first = false) {
        const auto next = std::chrono::steady_clock::now() + *run.options.watch;
        std::vector<ListedSocket> rows;
        if (!read_tables(run, rows)) return 1;
        std::string text = first || redraw ? "" : "\n";
        text += render(run, rows, redraw);
        if (const int error = interrupts.write(STDOUT_FILENO, text); error != 0)
            return interrupts.stop_requested() ? 0 : write_failed(error);
        if (!interrupts.wait_until(next)) return 0;
    }
}

int usage_error(const std::string& error) {
    write_all(STDERR_FILENO, std::string(program) + ": " + error + "\n" + usage_line + "\n");
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
        if (parsed.options.help) return print(help_text);
        if (parsed.options.version) return print(std::string(program) + " " + SOCKSCOPE_TOOL_VERSION + "\n");

        // Names print in the character set of the user's terminal.
        std::setlocale(LC_ALL, "");

        Run run;
        run.options = parsed.options;
        run.kinds = chosen_kinds(run.options);
        run.form = run.options.json ? Form::json : isatty(STDOUT_FILENO) ? Form::table : Form::lines;
        return run.options.watch ? watch(run) : list_once(run);
    } catch (const std::bad_alloc&) {
        report_error(program, "out of memory", ENOMEM);
        return 1;
    }
}
