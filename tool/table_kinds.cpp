// SPDX-License-Identifier: MIT
#include "table_kinds.h"

#include <cerrno>
#include <memory>

namespace sockscope_tool {
namespace {

// Gives a snapshot back to the library however the copying ends.
template <typename Record>
struct SnapshotRelease {
    sockscope* library;
    void operator()(Record* rows) const { library->getstat_free(rows); }
};

template <typename Record>
using Snapshot = std::unique_ptr<Record, SnapshotRelease<Record>>;

int failed_snapshot() { return errno != 0 ? errno : ENOMEM; }

std::optional<std::u16string> name_of(const char16_t* name) {
    if (name == nullptr) return std::nullopt;
    return std::u16string(name);
}

// What a TCP record has beyond a UDP one: the peer and the state.
void add_protocol_fields(ListedSocket& row, const statTCPROW& record) {
    row.protocol = ListedSocket::Protocol::tcp;
    row.remote_address = record.RemoteAddr != nullptr ? record.RemoteAddr : "";
    row.remote_port = record.RemotePort;
    if (record.Statestr != nullptr) row.state = record.Statestr;
}

void add_protocol_fields(ListedSocket& row, const statUDPROW&) { row.protocol = ListedSocket::Protocol::udp; }

template <typename Record, Record* (sockscope::*take)()>
int fetch(sockscope& library, ListedSocket::Family family, std::vector<ListedSocket>& rows) {
    errno = 0;
    const Snapshot<Record> snapshot((library.*take)(), {&library});
    if (!snapshot) return failed_snapshot();
    const Record* table = snapshot.get();
    for (std::uint32_t i = 0; i < table[0].size; ++i) {
        const Record& record = table[i];
        ListedSocket row;
        add_protocol_fields(row, record);
        row.family = family;
        row.local_address = record.LocalAddr != nullptr ? record.LocalAddr : "";
        row.local_port = record.LocalPort;
        row.pid = record.PID;
        row.name = name_of(record.ProcessName);
        rows.push_back(std::move(row));
    }
    return 0;
}

constexpr TableKind kinds[] = {
    {ListedSocket::Protocol::tcp, ListedSocket::Family::ipv4, fetch<statTCPROW, &sockscope::getstat_tcp>},
    {ListedSocket::Protocol::tcp, ListedSocket::Family::ipv6, fetch<statTCPROW, &sockscope::getstat_tcp6>},
    {ListedSocket::Protocol::udp, ListedSocket::Family::ipv4, fetch<statUDPROW, &sockscope::getstat_udp>},
    {ListedSocket::Protocol::udp, ListedSocket::Family::ipv6, fetch<statUDPROW, &sockscope::getstat_udp6>},
};

} // namespace

std::span<const TableKind> table_kinds() { return kinds; }

const char* table_title(const TableKind& kind) {
    if (kind.protocol == ListedSocket::Protocol::tcp) return kind.family == ListedSocket::Family::ipv4 ? "TCP" : "TCP6";
    return kind.family == ListedSocket::Family::ipv4 ? "UDP" : "UDP6";
}

} // namespace sockscope_tool
