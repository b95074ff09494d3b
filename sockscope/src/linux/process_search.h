// SPDX-License-Identifier: MIT
// Finding a running process by its image name.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "core/system_sources.h"

namespace sockscope_detail {

// The lowest id of a running process whose image name, decoded as UTF-8,
// equals `name` code unit by code unit; 0 when none does, or when name is
// null. A process that has ended but is not yet reaped (a zombie) is not
// running. Fails when /proc can't be walked, or the caller's own resources
// fail (core/result.h).
Result<std::uint32_t> find_process_id(const char16_t* name, const SystemSources& sources);

} // namespace sockscope_detail
