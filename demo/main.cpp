// Prints the machine's IPv4 TCP table once, a line per connection:
//
//   local-address local-port remote-address remote-port pid process-name state
//
// then waits for Enter. Arguments are ignored.
#include <clocale>
#include <cstdio>
#include <iostream>

#include <sockscope/sockscope.h>

#include "console_text.h"

int main() {
    auto* library = new sockscope;
    statTCPROW* rows = library->getstat_tcp();

    // Names print in the locale's character set: the Japanese locale where
    // the C library has one, otherwise the user's own from the environment.
    if (std::setlocale(LC_ALL, "japanese") == nullptr) std::setlocale(LC_ALL, "");

    const std::uint32_t count = rows == nullptr ? 0 : rows[0].size;
    for (std::uint32_t i = 0; i < count; ++i) {
        const statTCPROW& row = rows[i];
        std::cout << row.LocalAddr << ' ' << row.LocalPort << ' ' << row.RemoteAddr << ' ' << row.RemotePort << ' '
                  << row.PID << ' ' << sockscope_demo::to_locale_text(row.ProcessName) << ' ' << row.Statestr
                  << '\n'
                  << std::flush;
    }

    library->getstat_free(rows);
    delete library;
    std::getchar();
    return 0;
}
