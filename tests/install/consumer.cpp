// A caller of the installed library: prints the TCP table's listeners.
#include <cstdio>
#include <sockscope/sockscope.h>

int main() {
    sockscope library;
    statTCPROW* rows = library.getstat_tcp();
    for (std::uint32_t i = 0; rows != nullptr && i < rows[0].size; ++i)
        if (rows[i].Statenum == 2) std::printf("%s:%u pid %u\n", rows[i].LocalAddr, rows[i].LocalPort, rows[i].PID);
    library.getstat_free(rows);
    return 0;
}
