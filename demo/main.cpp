// SPDX-License-Identifier: MIT
// Prints the machine's IPv4 TCP table once, a line per connection:
//
//   local-address local-port remote-address remote-port pid process-name state
//
// then waits for Enter. Arguments are ignored. Process names print in the
// character set of the user's locale, escaped so that each line keeps its
// seven fields (sockscope_text/terminal_text.h). Exit status 0, or 1 when
// the table could not be read or the listing not written, with one line on
// stderr saying why.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <string>
#include <unistd.h>

#include <sockscope/sockscope.h>
#include <sockscope_text/output.h>

#include "listing_line.h"

namespace {

constexpr const char* program = "sockscopeDemo_x64";

// Writes a line per row, each with a write of its own, as a terminal user
// expects to see rows appear. Returns 0, or the errno value of the write
// that failed; nothing more is written after a failure.
int print_listing(const statTCPROW* rows) {
    std::string line;
    line.reserve(256);
    for (std::uint32_t i = 0; i < rows[0].size; ++i) {
        line.clear();
        sockscope_demo::append_listing_line(line, rows[i]);
        if (const int error = sockscope_text::write_all(STDOUT_FILENO, line); error != 0) return error;
    }
    return 0;
}

} // namespace

int main() {
    auto* library = new sockscope;
    errno = 0;
    statTCPROW* rows = library->getstat_tcp();
    const int snapshot_error = errno;

    // Names print in the character set of the user's terminal, which on
    // Linux is what the environment's locale says.
    std::setlocale(LC_ALL, "");

    int status = 0;
    if (rows == nullptr) {
        sockscope_text::report_error(program, "cannot read the TCP table", snapshot_error != 0 ? snapshot_error : ENOMEM);
        status = 1;
    } else {
        const int write_error = print_listing(rows);
        library->getstat_free(rows);
        if (write_error != 0) {
            sockscope_text::report_error(program, "cannot write the listing", write_error);
            status = 1;
        }
    }
    delete library;
    std::getchar();
    return status;
}
