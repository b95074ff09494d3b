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

template <statTCPROW* (sockscope::*take)()>
int fetch_tcp(sockscope& library, Family family, std::vector<SocketRow>& rows) {
    errno = 0;
    const Snapshot<statTCPROW> snapshot((library.*take)(), {&library});
    if (!snapshot) return failed_snapshot();
    const statTCPROW* table = snapshot.get();
    for (std::uint32_t i = 0; i < table[0].size; ++i) {
        const statTCPROW& record = table[i];
        SocketRow row;
        row.protocol = Protocol::tcp;
        row.family = family;
        row.local_address = record.LocalAddr != nullptr ? record.LocalAddr : "";
        row.local_port = record.LocalPort;
        row.remote_address = record.RemoteAddr != nullptr ? record.RemoteAddr : "";
        row.remote_port = record.RemotePort;
        if (record.Statestr != nullptr) row.state = record.Statestr;
        row.pid = record.PID;
        row.name = name_of(record.ProcessName);
        rows.push_back(std::move(row));
    }
    return 0;
}

template <statUDPROW* (sockscope::*take)()>
int fetch_udp(sockscope& library, Family family, std::vector<SocketRow>& rows) {
    errno = 0;
    const Snapshot<statUDPROW> snapshot((library.*take)(), {&library});
    if (!snapshot) return failed_snapshot();
    const statUDPROW* table = snapshot.get();
    for (std::uint32_t i = 0; i < table[0].size; ++i) {
        const statUDPROW& record = table[i];
        SocketRow row;
        row.protocol = Protocol::udp;
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
    {Protocol::tcp, Family::ipv4, fetch_tcp<&sockscope::getstat_tcp>},
    {Protocol::tcp, Family::ipv6, fetch_tcp<&sockscope::getstat_tcp6>},
    {Protocol::udp, Family::ipv4, fetch_udp<&sockscope::getstat_udp>},
    {Protocol::udp, Family::ipv6, fetch_udp<&sockscope::getstat_udp6>},
};

} // namespace

std::span<const TableKind> table_kinds() { return kinds; }

const char* table_title(const TableKind& kind) {
    if (kind.protocol == Protocol::tcp) return kind.family == Family::ipv4 ? "TCP" : "TCP6";
    return kind.family == Family::ipv4 ? "UDP" : "UDP6";
}

} // namespace sockscope_tool
