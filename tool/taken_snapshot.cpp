// SPDX-License-Identifier: MIT
#include "taken_snapshot.h"

#include <cerrno>

namespace sockscope_tool {

TakenSnapshot::TakenSnapshot(const SocketFilter& filter) {
    if (filter.passes_nothing()) return;
    errno = 0;
    taken_.reset(sockscope_snapshot_take(&filter.selection()));
    if (!taken_) error_ = errno != 0 ? errno : ENOMEM;
}

} // namespace sockscope_tool
