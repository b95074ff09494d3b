// SPDX-License-Identifier: MIT
// The rows of a kernel socket table, without owners.
#pragma once

#include "core/result.h"
#include "core/socket_row.h"
#include "core/system_sources.h"

namespace sockscope_detail {

// Netlink first; /proc/net/{tcp,udp,tcp6,udp6} under the sources' /proc
// root when netlink can't serve (refused by a sandbox, its module missing).
// Fails when no source answers.
Result<SocketRows> read_socket_table(Protocol protocol, Family family, const SystemSources& sources);

} // namespace sockscope_detail
