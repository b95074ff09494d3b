// SPDX-License-Identifier: MIT
#include "core/snapshot_records.h"

#include <cstdlib>
#include <new>

#include "core/conversions.h"
#include "core/tcp_state.h"
#include "core/utf8.h"

namespace sockscope_detail {
namespace {

// The owner's name for a record: null for no owner or one without a name.
// Sets `complete` false when memory ran out.
char16_t* name_for(const OwnedTable& table, std::uint32_t owner, bool& complete) {
    const std::string* name = owner == 0 ? nullptr : table.names.find(owner);
    if (name == nullptr) return nullptr;
    char16_t* copy = utf8_to_heap_utf16(*name);
    complete &= copy != nullptr;
    return copy;
}

// The records of the table's rows, each filled by `fill` (which reports
// whether its texts were allocated) and given its owner and the row count.
template <typename Record, typename Fill>
Record* make_records(const OwnedTable& table, Fill fill) {
    const std::size_t count = table.rows.size();
    auto* records = static_cast<Record*>(std::calloc(count == 0 ? 1 : count, sizeof(Record)));
    if (records == nullptr) throw std::bad_alloc();
    bool complete = true;
    for (std::size_t i = 0; i < count && complete; ++i) {
        const SocketRow& row = table.rows[i];
        Record& record = records[i];
        complete = fill(record, row);
        record.PID = row.owner;
        record.ProcessName = name_for(table, row.owner, complete);
        record.size = static_cast<std::uint32_t>(count);
    }
    if (!complete) {
        // Records not reached are zero-filled: their null texts free as nothing.
        records[0].size = static_cast<std::uint32_t>(count);
        free_records(records);
        throw std::bad_alloc();
    }
    return records;
}

// Frees every text of the array and the array. An empty snapshot is one
// zero-filled record with size 0, so max(size, 1) records are visited.
template <typename Record, typename FreeTexts>
void free_array(Record* records, FreeTexts free_texts) {
    if (records == nullptr) return;
    const std::uint32_t count = records[0].size == 0 ? 1 : records[0].size;
    for (std::uint32_t i = 0; i < count; ++i) free_texts(records[i]);
    std::free(records);
}

} // namespace

statTCPROW* make_tcp_records(const OwnedTable& table) {
    return make_records<statTCPROW>(table, [&table](statTCPROW& record, const SocketRow& row) {
        // A scoped remote address is on the socket's interface too, and
        // carries the zone as the local one does: each text then names
        // its address whole and can be used as it is (to reach the peer
        // again), and two peers with one link-local address on two links
        // are told apart.
        const std::string_view zone = table.zone_of(row);
        record.LocalAddr = address_text(row.family, row.local_address, zone);
        record.RemoteAddr = address_text(row.family, row.remote_address, zone);
        record.LocalPort = port_to_host_order(row.local_port);
        record.RemotePort = port_to_host_order(row.remote_port);
        record.Statenum = state_from_kernel(row.state);
        record.Statestr = state_name(record.Statenum);
        return record.LocalAddr != nullptr && record.RemoteAddr != nullptr;
    });
}

statUDPROW* make_udp_records(const OwnedTable& table) {
    return make_records<statUDPROW>(table, [&table](statUDPROW& record, const SocketRow& row) {
        record.LocalAddr = address_text(row.family, row.local_address, table.zone_of(row));
        record.LocalPort = port_to_host_order(row.local_port);
        return record.LocalAddr != nullptr;
    });
}

void free_records(statTCPROW* records) {
    free_array(records, [](statTCPROW& record) {
        std::free(record.LocalAddr);
        std::free(record.RemoteAddr);
        std::free(record.ProcessName);
    });
}

void free_records(statUDPROW* records) {
    free_array(records, [](statUDPROW& record) {
        std::free(record.LocalAddr);
        std::free(record.ProcessName);
    });
}

} // namespace sockscope_detail
