// Building the public records from table rows: texts for addresses, host
// order for ports, state names, and the owner's image name. Kept apart from
// the reading of the tables so that it can be tested on any rows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sockscope/sockscope.h>

#include "socket_row.h"

namespace sockscope_detail {

// Image name of a process id, or nullopt when no such process runs.
using NameLookup = std::function<std::optional<std::u16string>(std::uint32_t)>;

// The live lookup: reads /proc/<id> afresh.
NameLookup live_process_names();

// A snapshot of `rows` in their order: never shorter than one record (an
// empty table is one zero-filled record), null only when memory ran out.
// The lookup is asked once per distinct owner id; a text that can't be
// allocated is left null.
statTCPROW* build_tcp_snapshot(const std::vector<SocketRow>& rows, const NameLookup& name_of);
statUDPROW* build_udp_snapshot(const std::vector<SocketRow>& rows, const NameLookup& name_of);

} // namespace sockscope_detail
