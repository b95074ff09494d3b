// SPDX-License-Identifier: MIT
// What the traffic ledger is given, read from a snapshot's sockets and the
// stream's records, grouped by process (pid, name, container), by name and
// container (the exporter's labels: no pid) or by container alone.
#pragma once

#include <sockscope/connections.h>
#include <sockscope/sockets.h>

#include <vector>

#include "taken_snapshot.h"
#include "traffic_ledger.h"

namespace sockscope_tool {

enum class TrafficGrouping { process, name, container };

// Every socket taken but the TCP listeners and TIME_WAIT, under its first
// owner (none known: an empty name). TCP connections carry their cookie and
// bytes (bytes_acked, bytes_received) when the snapshot has their TCP info;
// UDP sockets are counted open, with no bytes: the kernel keeps no byte
// counts for them.
std::vector<LiveConnection> live_connections(const TakenSnapshot& taken, TrafficGrouping grouping);

// A stream record as the ledger takes it; false for a listener's record
// (a listener is no connection).
bool connection_change(const sockscope_connection& record, TrafficGrouping grouping, ConnectionChange& change);

} // namespace sockscope_tool
