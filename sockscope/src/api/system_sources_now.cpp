// SPDX-License-Identifier: MIT
#include "api/system_sources_now.h"

#include <cstdlib>
#include <cstring>

namespace sockscope_detail {

SystemSources system_sources_now() {
    SystemSources sources;
    const char* scan = std::getenv("SOCKSCOPE_OWNER_SCAN");
    if (scan != nullptr && std::strcmp(scan, "proc") == 0) sources.owners = OwnerScan::proc;
    return sources;
}

} // namespace sockscope_detail
