// SPDX-License-Identifier: MIT
// The C interface's batches of connection records (<sockscope/connections.h>)
// made from the stream's records: one block on the C heap with every text.
#pragma once

#include <sockscope/connections.h>

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "core/connection.h"
#include "core/container_ids.h"

namespace sockscope_detail {

// What the reader found out beside the records: the paths of the owners'
// cgroups and their containers by cgroup id, and the names of network
// namespaces by inode. A record whose cgroup or namespace isn't here has
// none.
struct ConnectionLookups {
    std::unordered_map<std::uint64_t, std::string> cgroup_paths;
    std::unordered_map<std::uint64_t, PlacedContainer> containers;
    std::unordered_map<std::uint64_t, std::string> namespace_names;
};

// The batch of `records` in their order, with `lost` records lost before
// them. Throws std::bad_alloc when memory runs out.
sockscope_connections* make_connection_batch(std::span<const ConnectionRecord> records, std::uint64_t lost,
                                             const ConnectionLookups& lookups);

// "open", "normal", "reset sent", "reset received", "refused", "timed out",
// "failed", "abandoned"; "unknown" for another value.
const char* connection_end_name(std::uint8_t end);

} // namespace sockscope_detail
