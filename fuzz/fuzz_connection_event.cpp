// SPDX-License-Identifier: MIT
// One ring buffer record of the connections BPF program made of arbitrary
// bytes: the first eight are the real-time clock's offset, the rest the
// record. A record that decodes is made into the C interface's batch too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/connection_batches.h"
#include "core/connection_events.h"
#include "core/utf8.h"

using namespace sockscope_detail;

namespace {

bool terminated(const char* text, std::size_t size) { return std::memchr(text, 0, size) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::int64_t offset;
    std::memcpy(&offset, data, sizeof offset);
    // A copy of exactly the record's length, so that any read past it is
    // caught by the address sanitizer.
    const std::vector<std::byte> event(reinterpret_cast<const std::byte*>(data) + 8,
                                       reinterpret_cast<const std::byte*>(data) + size);
    ConnectionRecord record{};
    record.pid = 0xA5A5A5A5u;
    if (!decode_connection_event(event, offset, record)) {
        if (event.size() == sizeof(connection_event) &&
            (event[offsetof(connection_event, kind)] == std::byte{CONNECTION_OPENED} ||
             event[offsetof(connection_event, kind)] == std::byte{CONNECTION_CLOSED}))
            std::abort(); // a record of the program's size and kind is always decoded
        if (record.pid != 0xA5A5A5A5u) std::abort(); // a refused one leaves the record alone
        return 0;
    }
    if (event.size() != sizeof(connection_event)) std::abort();
    const bool closed = record.kind == ConnectionKind::closed;
    if (!closed && record.kind != ConnectionKind::opened) std::abort();
    if (record.state_count > connection_path_capacity) std::abort();
    for (std::size_t i = 0; i < record.state_count; ++i)
        if (record.states[i] > 0xF) std::abort();
    if (static_cast<int>(record.side) > CONNECTION_SIDE_LISTEN || static_cast<int>(record.owner_source) > OWNER_FROM_LISTENER)
        std::abort();
    if ((record.end == ConnectionEnd::open) == closed || record.end > ConnectionEnd::abandoned) std::abort();
    if (!closed && (record.closed_ns != 0 || record.lifetime_ns != -1)) std::abort();
    // A lifetime is unknown, or the distance between the two times (both
    // moved by the same offset, wrapping as the kernel's clocks never do).
    const auto distance = static_cast<std::int64_t>(static_cast<std::uint64_t>(record.closed_ns) -
                                                    static_cast<std::uint64_t>(record.opened_ns));
    if (record.lifetime_ns != -1 && (!closed || record.opened_ns == 0 || record.lifetime_ns != distance)) std::abort();
    if ((record.flags & ~(connection_open_unseen | connection_closed_in_call | connection_path_cut)) != 0) std::abort();
    if (!terminated(record.comm, sizeof record.comm) || !terminated(record.name, sizeof record.name)) std::abort();

    // The batch's texts are well-formed UTF-8 whatever the names held.
    sockscope_connections* batch = make_connection_batch({&record, 1}, 0, ConnectionLookups{});
    const sockscope_connection& made = batch->connections[0];
    if (batch->count != 1 || made.end_name == nullptr || made.local_text == nullptr || made.remote_text == nullptr)
        std::abort();
    for (const char* text : {made.name, made.comm})
        if (text != nullptr && well_formed_utf8(text) != text) std::abort();
    std::free(batch); // sockscope_connections_free
    return 0;
}
