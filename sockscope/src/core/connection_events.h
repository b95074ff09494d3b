// SPDX-License-Identifier: MIT
// Connection records, made from the events of the connections BPF program
// (linux/bpf/connections.bpf.c; their layout is core/bpf_connection_event.h).
// No system calls: the stream (linux/connection_stream.h) reads the events
// from the ring buffer and the clocks, this turns their bytes into records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/connection.h"

namespace sockscope_detail {

// Fills `record` from one event as the program wrote it, with its monotonic
// times moved to the real-time clock by `realtime_offset_ns` (CLOCK_REALTIME
// minus CLOCK_MONOTONIC). The name is the comm, or the executable's file
// name when the comm is cut (15 bytes) and that name starts with it, as the
// snapshots name processes. False, with `record` untouched, when `event`
// is not an event of the program (its size or kind is wrong); any bytes of
// the right size make a record, with unknown sides and owner sources read
// as unknown and the path cut at its capacity.
bool decode_connection_event(std::span<const std::byte> event, std::int64_t realtime_offset_ns,
                             ConnectionRecord& record);

// How a connection whose states were `states` (ending in TCP_CLOSE) ended,
// given the socket's error then.
ConnectionEnd connection_end(std::span<const std::uint8_t> states, int error);

} // namespace sockscope_detail
