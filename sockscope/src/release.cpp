// Giving snapshots back: every text the library allocated, then the array.
// Statestr belongs to the library's constant table and is never released.
#include <cstdlib>

#include <sockscope/sockscope.h>

namespace {

// An empty snapshot is one zero-filled record with size 0; its pointers are
// null, so releasing max(size, 1) records covers it too.
template <typename Row, typename FreeTexts>
void release_snapshot(Row* rows, FreeTexts free_texts) {
    if (rows == nullptr) return;
    const std::uint32_t count = rows[0].size == 0 ? 1 : rows[0].size;
    for (std::uint32_t i = 0; i < count; ++i) free_texts(rows[i]);
    std::free(rows);
}

} // namespace

void sockscope::getstat_free(statTCPROW* rows) {
    release_snapshot(rows, [](statTCPROW& row) {
        std::free(row.LocalAddr);
        std::free(row.RemoteAddr);
        std::free(row.ProcessName);
    });
}

void sockscope::getstat_free(statUDPROW* rows) {
    release_snapshot(rows, [](statUDPROW& row) {
        std::free(row.LocalAddr);
        std::free(row.ProcessName);
    });
}
