// SPDX-License-Identifier: MIT
#include "core/socket_records.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/conversions.h"
#include "core/record_block.h"
#include "core/tcp_state.h"
#include "core/utf8.h"

namespace sockscope_detail {
namespace {

struct OwnerTexts {
    std::uintptr_t name = no_text;
    std::uintptr_t comm = no_text;
    std::uintptr_t cgroup = no_text;
    std::uintptr_t container = no_text;
    std::uintptr_t user_container = no_text;
    std::uint32_t container_user = 0;
};

using Holders = std::vector<SocketHolder>;

// A row's holders: a range of `every`, sorted by inode.
std::pair<Holders::const_iterator, Holders::const_iterator> holders_of(const Holders& every, const SocketRow& row) {
    const auto by_inode = [](const SocketHolder& holder, std::uint64_t inode) { return holder.inode < inode; };
    const auto first = std::lower_bound(every.begin(), every.end(), row.inode, by_inode);
    auto last = first;
    while (last != every.end() && last->inode == row.inode) ++last;
    return std::make_pair(first, last);
}

// The owners of all of `table`'s rows.
std::size_t owner_count(const OwnedTable& table) {
    std::size_t count = 0;
    for (const SocketRow& row : table.rows) {
        if (row.inode == 0) continue;
        const auto [first, last] = holders_of(table.holders, row);
        count += static_cast<std::size_t>(last - first);
    }
    return count;
}

// The snapshot's sockets and owners, made from the table's rows in their
// order, before they have their block: each text is an offset into
// `texts`, and each socket's owners the index of its first owner.
class SnapshotParts {
public:
    explicit SnapshotParts(const OwnedTable& table);

    WorkingVector<sockscope_socket> sockets;
    WorkingVector<sockscope_owner> owners;
    // The details asked for, of the sockets that have them.
    WorkingVector<sockscope_tcp_info> tcp_infos;
    WorkingVector<sockscope_timer> timers;
    WorkingVector<sockscope_memory> memories;
    BlockTexts texts;

private:
    void add_socket(const SocketRow& row, sockscope_socket& socket);
    void add_details(const SocketDetails& details, sockscope_socket& socket);
    void add_owner(std::uint32_t process, std::uint32_t fd);
    OwnerTexts owner_texts(std::uint32_t process);
    std::uintptr_t namespace_name(const SocketRow& row);

    const OwnedTable& table_;
    std::unordered_map<std::uint32_t, OwnerTexts> names_;               // one copy of each process's names
    std::unordered_map<std::uint64_t, std::uintptr_t> namespace_names_; // one copy of each
    std::size_t next_owner_ = 0;
};

SnapshotParts::SnapshotParts(const OwnedTable& table)
    : sockets(table.rows.size()), owners(owner_count(table)), table_(table) {
    // Room for every detail at once: they are large, and copies as the
    // arrays grow would cost as much as the rest of the snapshot.
    std::size_t infos = 0, timers_given = 0, memories_given = 0;
    for (const SocketRow& row : table.rows) {
        if (row.details == nullptr) continue;
        infos += row.details->has_tcp_info;
        timers_given += row.details->has_timer;
        memories_given += row.details->has_memory;
    }
    tcp_infos.reserve(infos);
    timers.reserve(timers_given);
    memories.reserve(memories_given);
    for (std::size_t i = 0; i < table.rows.size(); ++i) add_socket(table.rows[i], sockets[i]);
}

void SnapshotParts::add_socket(const SocketRow& row, sockscope_socket& socket) {
    char text[ipv6_text_size];
    const bool tcp = row.protocol == Protocol::tcp;
    socket.protocol = tcp ? 6 : 17;
    socket.family = row.family == Family::ipv4 ? 2 : 10;
    socket.state = row.state;
    socket.v6only = row.v6only ? 1 : 0;
    socket.interface = row.interface_index;
    socket.state_name = kernel_state_name(tcp, row.state);
    std::memcpy(socket.local_address, row.local_address.data(), sizeof socket.local_address);
    std::memcpy(socket.remote_address, row.remote_address.data(), sizeof socket.remote_address);
    // A scoped remote address is on the socket's interface too.
    const std::string_view zone = table_.zone_of(row);
    set_offset(socket.local_text, texts.add({text, address_text_into(row.family, row.local_address, zone, text)}));
    set_offset(socket.remote_text, texts.add({text, address_text_into(row.family, row.remote_address, zone, text)}));
    socket.local_port = static_cast<std::uint16_t>(port_to_host_order(row.local_port));
    socket.remote_port = static_cast<std::uint16_t>(port_to_host_order(row.remote_port));
    socket.uid = row.uid;
    socket.netns = row.netns;
    set_offset(socket.netns_name, namespace_name(row));
    socket.receive_queue = row.receive_queue;
    socket.send_queue = row.send_queue;
    socket.flags = row.send_queue_known ? 0 : SOCKSCOPE_SEND_QUEUE_UNKNOWN;
    socket.inode = row.inode;
    socket.cookie = row.cookie;
    // The owners' index for now; their address once the block is made.
    const std::size_t first_owner = next_owner_;
    if (row.inode != 0) {
        const auto [first, last] = holders_of(table_.holders, row);
        for (auto holder = first; holder != last; ++holder) add_owner(holder->process, holder->fd);
    }
    socket.owner_count = static_cast<std::uint32_t>(next_owner_ - first_owner);
    socket.owners = reinterpret_cast<const sockscope_owner*>(first_owner);
    if (row.details != nullptr) add_details(*row.details, socket);
}

// A detail's pointer holds its index + 1 until the block is made (0: none).
template <typename Detail>
void add_detail(WorkingVector<Detail>& details, const Detail& detail, const Detail*& pointer) {
    details.push_back(detail);
    pointer = reinterpret_cast<const Detail*>(details.size());
}

sockscope_tcp_info public_tcp_info(const tcp_info& info, std::uint32_t kernel_size) {
    sockscope_tcp_info made{};
    made.size = sizeof made;
    made.kernel_size = kernel_size;
    made.ca_state = info.tcpi_ca_state;
    made.retransmits = info.tcpi_retransmits;
    made.probes = info.tcpi_probes;
    made.backoff = info.tcpi_backoff;
    made.options = info.tcpi_options & 0xF; // the kernel's TCPI_OPT_ bits match ours
    if ((info.tcpi_options & TCPI_OPT_WSCALE) != 0) {
        made.send_window_scale = info.tcpi_snd_wscale;
        made.receive_window_scale = info.tcpi_rcv_wscale;
    }
    made.app_limited = info.tcpi_delivery_rate_app_limited;
    made.rto = info.tcpi_rto;
    made.ato = info.tcpi_ato;
    made.send_mss = info.tcpi_snd_mss;
    made.receive_mss = info.tcpi_rcv_mss;
    made.unacked = info.tcpi_unacked;
    made.sacked = info.tcpi_sacked;
    made.lost = info.tcpi_lost;
    made.retrans = info.tcpi_retrans;
    made.last_data_sent_ms = info.tcpi_last_data_sent;
    made.last_data_received_ms = info.tcpi_last_data_recv;
    made.last_ack_received_ms = info.tcpi_last_ack_recv;
    made.pmtu = info.tcpi_pmtu;
    made.receive_ssthresh = info.tcpi_rcv_ssthresh;
    made.rtt = info.tcpi_rtt;
    made.rttvar = info.tcpi_rttvar;
    made.send_ssthresh = info.tcpi_snd_ssthresh;
    made.send_cwnd = info.tcpi_snd_cwnd;
    made.advertised_mss = info.tcpi_advmss;
    made.reordering = info.tcpi_reordering;
    made.receive_rtt = info.tcpi_rcv_rtt;
    made.receive_space = info.tcpi_rcv_space;
    made.total_retrans = info.tcpi_total_retrans;
    made.min_rtt = info.tcpi_min_rtt;
    made.not_sent_bytes = info.tcpi_notsent_bytes;
    made.delivered = info.tcpi_delivered;
    made.send_window = info.tcpi_snd_wnd;
    made.pacing_rate = info.tcpi_pacing_rate;
    made.max_pacing_rate = info.tcpi_max_pacing_rate;
    made.bytes_acked = info.tcpi_bytes_acked;
    made.bytes_received = info.tcpi_bytes_received;
    made.bytes_sent = info.tcpi_bytes_sent;
    made.bytes_retrans = info.tcpi_bytes_retrans;
    made.delivery_rate = info.tcpi_delivery_rate;
    made.busy_time = info.tcpi_busy_time;
    made.receive_window_limited = info.tcpi_rwnd_limited;
    made.send_buffer_limited = info.tcpi_sndbuf_limited;
    made.segments_out = info.tcpi_segs_out;
    made.segments_in = info.tcpi_segs_in;
    made.data_segments_out = info.tcpi_data_segs_out;
    made.data_segments_in = info.tcpi_data_segs_in;
    return made;
}

void SnapshotParts::add_details(const SocketDetails& details, sockscope_socket& socket) {
    if (details.has_tcp_info) {
        sockscope_tcp_info info = public_tcp_info(details.info, details.tcp_info_size);
        set_offset(info.congestion, details.congestion[0] != '\0' ? texts.add(well_formed_utf8(details.congestion))
                                                                   : no_text);
        add_detail(tcp_infos, info, socket.tcp_info);
    }
    if (details.has_timer)
        add_detail(timers, sockscope_timer{sizeof(sockscope_timer), details.timer, details.retransmits, 0,
                                           details.expires_ms},
                   socket.timer);
    if (details.has_memory) {
        sockscope_memory memory{};
        memory.size = sizeof memory;
        const auto& m = details.memory;
        memory.receive_allocated = m[0];
        memory.receive_buffer = m[1];
        memory.send_allocated = m[2];
        memory.send_buffer = m[3];
        memory.forward_allocated = m[4];
        memory.send_queued = m[5];
        memory.options = m[6];
        memory.backlog = m[7];
        memory.drops = m[8];
        add_detail(memories, memory, socket.memory);
    }
}

void SnapshotParts::add_owner(std::uint32_t process, std::uint32_t fd) {
    sockscope_owner& owner = owners[next_owner_++];
    owner.pid = process;
    owner.fd = static_cast<std::int32_t>(fd);
    const OwnerTexts found = owner_texts(process);
    set_offset(owner.name, found.name);
    set_offset(owner.comm, found.comm);
    set_offset(owner.cgroup, found.cgroup);
    set_offset(owner.container, found.container);
    set_offset(owner.user_container, found.user_container);
    owner.container_user = found.container_user;
    owner.reserved = 0;
}

OwnerTexts SnapshotParts::owner_texts(std::uint32_t process) {
    const auto [at, added] = names_.try_emplace(process);
    if (added) {
        if (const OwnerNames::Names* found = table_.names.find_both(process)) {
            at->second.name = texts.add(well_formed_utf8(found->name));
            at->second.comm = texts.add(well_formed_utf8(found->comm));
            if (!found->cgroup.empty()) at->second.cgroup = texts.add(well_formed_utf8(found->cgroup));
            if (!found->container.empty()) at->second.container = texts.add(well_formed_utf8(found->container));
            if (!found->user_container.empty()) {
                at->second.user_container = texts.add(well_formed_utf8(found->user_container));
                at->second.container_user = found->container_user;
            }
        }
    }
    return at->second;
}

// The row's network namespace's name, or no_text when it has none.
std::uintptr_t SnapshotParts::namespace_name(const SocketRow& row) {
    const NamespaceOfRows* ns = table_.namespace_of(row);
    if (ns == nullptr || ns->name.empty()) return no_text;
    const auto [at, added] = namespace_names_.try_emplace(ns->inode);
    if (added) at->second = texts.add(well_formed_utf8(ns->name));
    return at->second;
}

// Copies `details` to `at`, where the block has room for them.
template <typename Detail>
Detail* place_details(const WorkingVector<Detail>& details, char* at) {
    if (!details.empty()) std::memcpy(at, details.data(), details.size() * sizeof(Detail));
    return reinterpret_cast<Detail*>(at);
}

// An index + 1 made the detail's address (0: null).
template <typename Detail>
void resolve_detail(const Detail*& pointer, const Detail* placed) {
    const auto index = reinterpret_cast<std::uintptr_t>(pointer);
    pointer = index == 0 ? nullptr : placed + (index - 1);
}

// The parts copied into one block on the C heap, their offsets and
// indexes made pointers into it, under the snapshot's header.
sockscope_snapshot* place_in_block(const SnapshotParts& parts, const OwnedTable& table) {
    const WorkingVector<sockscope_socket>& sockets = parts.sockets;
    const WorkingVector<sockscope_owner>& owners = parts.owners;
    const BlockTexts& texts = parts.texts;
    const std::size_t sockets_at = block_aligned(sizeof(sockscope_snapshot));
    const std::size_t owners_at = sockets_at + block_aligned(sockets.size() * sizeof(sockscope_socket));
    const std::size_t infos_at = owners_at + block_aligned(owners.size() * sizeof(sockscope_owner));
    const std::size_t timers_at = infos_at + block_aligned(parts.tcp_infos.size() * sizeof(sockscope_tcp_info));
    const std::size_t memories_at = timers_at + block_aligned(parts.timers.size() * sizeof(sockscope_timer));
    const std::size_t texts_at = memories_at + block_aligned(parts.memories.size() * sizeof(sockscope_memory));
    const std::size_t total = texts_at + texts.bytes().size();
    auto* block = static_cast<char*>(std::malloc(total));
    if (block == nullptr) throw std::bad_alloc();

    auto* placed_sockets = reinterpret_cast<sockscope_socket*>(block + sockets_at);
    auto* placed_owners = reinterpret_cast<sockscope_owner*>(block + owners_at);
    const char* placed_texts = block + texts_at;
    if (!sockets.empty()) std::memcpy(placed_sockets, sockets.data(), sockets.size() * sizeof(sockscope_socket));
    if (!owners.empty()) std::memcpy(placed_owners, owners.data(), owners.size() * sizeof(sockscope_owner));
    auto* placed_infos = place_details(parts.tcp_infos, block + infos_at);
    auto* placed_timers = place_details(parts.timers, block + timers_at);
    auto* placed_memories = place_details(parts.memories, block + memories_at);
    if (!texts.bytes().empty()) std::memcpy(block + texts_at, texts.bytes().data(), texts.bytes().size());
    for (std::size_t i = 0; i < parts.tcp_infos.size(); ++i) resolve(placed_infos[i].congestion, placed_texts);
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        sockscope_socket& socket = placed_sockets[i];
        resolve(socket.local_text, placed_texts);
        resolve(socket.remote_text, placed_texts);
        resolve(socket.netns_name, placed_texts);
        socket.owners = socket.owner_count == 0 ? nullptr
                                                : placed_owners + reinterpret_cast<std::uintptr_t>(socket.owners);
        resolve_detail(socket.tcp_info, placed_infos);
        resolve_detail(socket.timer, placed_timers);
        resolve_detail(socket.memory, placed_memories);
    }
    for (std::size_t i = 0; i < owners.size(); ++i) {
        resolve(placed_owners[i].name, placed_texts);
        resolve(placed_owners[i].comm, placed_texts);
        resolve(placed_owners[i].cgroup, placed_texts);
        resolve(placed_owners[i].container, placed_texts);
        resolve(placed_owners[i].user_container, placed_texts);
    }

    auto* snapshot = new (block) sockscope_snapshot{};
    snapshot->size = sizeof(sockscope_snapshot);
    snapshot->socket_size = sizeof(sockscope_socket);
    snapshot->owner_size = sizeof(sockscope_owner);
    snapshot->count = sockets.size();
    snapshot->sockets = sockets.empty() ? nullptr : placed_sockets;
    snapshot->unreadable_processes = table.unreadable_processes;
    snapshot->skipped_namespaces = table.skipped_namespaces;
    return snapshot;
}

} // namespace

sockscope_snapshot* make_socket_snapshot(const OwnedTable& table) {
    const SnapshotParts parts(table);
    return place_in_block(parts, table);
}

} // namespace sockscope_detail
