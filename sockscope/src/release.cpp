// Giving snapshots back: every text the library allocated, then the array.
// Statestr belongs to the library's constant table and is never released.
#include <cstdlib>

#include <sockscope/sockscope.h>

void sockscope::getstat_free(statTCPROW* rows) {
    if (rows == nullptr) return;
    // An empty snapshot is one zero-filled record with size 0; its pointers
    // are null, so releasing max(size, 1) records covers it too.
    const std::uint32_t count = rows[0].size == 0 ? 1 : rows[0].size;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::free(rows[i].LocalAddr);
        std::free(rows[i].RemoteAddr);
        std::free(rows[i].ProcessName);
    }
    std::free(rows);
}

void sockscope::getstat_free(statUDPROW* rows) {
    if (rows == nullptr) return;
    const std::uint32_t count = rows[0].size == 0 ? 1 : rows[0].size;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::free(rows[i].LocalAddr);
        std::free(rows[i].ProcessName);
    }
    std::free(rows);
}
