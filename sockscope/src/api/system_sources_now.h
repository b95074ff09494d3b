// SPDX-License-Identifier: MIT
// Where a public call reads the system from.
#pragma once

#include "core/system_sources.h"

namespace sockscope_detail {

// The real system, with the owner scan that SOCKSCOPE_OWNER_SCAN asks for
// ("proc": the /proc scan alone, no BPF program loaded or used), read on
// every call.
SystemSources system_sources_now();

} // namespace sockscope_detail
