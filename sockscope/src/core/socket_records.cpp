// SPDX-License-Identifier: MIT
#include "core/socket_records.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
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

// A socket's two address texts, as offsets into the block's texts.
struct AddressTexts {
    std::uint32_t local;
    std::uint32_t remote;
};

// Every text of a snapshot, each once, gathered before its block is made,
// with the count of each kind of record: the block is then made at its
// whole size and each record written in its place, none built twice.
class SnapshotTexts {
public:
    explicit SnapshotTexts(const OwnedTable& table);

    BlockTexts texts;
    WorkingVector<AddressTexts> addresses;                        // a socket's, by row
    std::unordered_map<std::uint32_t, OwnerTexts> owners;         // by process
    std::unordered_map<std::uint64_t, std::uintptr_t> namespaces; // names, by namespace inode
    std::size_t owner_count = 0;
    std::size_t most_owners = 0; // of one socket
    std::size_t tcp_infos = 0, timers = 0, memories = 0;

    // The text of a congestion algorithm's name as the kernel gave it, the
    // offset of a gathered one: a connection's is one of a few, looked up
    // by its bytes without reading it as a text again.
    std::uintptr_t congestion_text(const std::array<char, 16>& name) const;

private:
    // An address's text, added; consecutive rows often have the same
    // address, which is then taken as it is.
    struct LastAddress {
        Family family;
        Address address;
        std::string_view zone;
        std::uint32_t text = UINT32_MAX;
    };
    std::uint32_t address_text(Family family, const Address& address, std::string_view zone, LastAddress& last);
    void add_congestion_text(const std::array<char, 16>& name);
    void add_owner_texts(std::uint32_t process);
    void add_namespace_name(const SocketRow& row);

    const OwnedTable& table_;
    std::vector<std::pair<std::array<char, 16>, std::uintptr_t>> congestions_; // name, text
};

SnapshotTexts::SnapshotTexts(const OwnedTable& table) : addresses(table.rows.size()), table_(table) {
    // Room for the details the dumps counted (of rows they kept; a few may
    // have been dropped since as repeats), and their congestion names.
    bool congestions_overflowed = false;
    if (table.details != nullptr) {
        const DetailStore::Tally& tally = table.details->tally();
        tcp_infos = tally.tcp_infos;
        timers = tally.timers;
        memories = tally.memories;
        for (std::size_t i = 0; i < tally.congestion_count; ++i) add_congestion_text(tally.congestions[i]);
        congestions_overflowed = tally.congestions_overflowed;
    }
    LastAddress last_local, last_remote;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const SocketRow& row = table.rows[i];
        // A scoped remote address is on the socket's interface too.
        const std::string_view zone = table.zone_of(row);
        addresses[i] = {address_text(row.family, row.local_address, zone, last_local),
                        address_text(row.family, row.remote_address, zone, last_remote)};
        add_namespace_name(row);
        if (row.inode != 0) {
            const auto [first, last] = holders_of(table.holders, row);
            for (auto holder = first; holder != last; ++holder) add_owner_texts(holder->process);
            owner_count += static_cast<std::size_t>(last - first);
            most_owners = std::max(most_owners, static_cast<std::size_t>(last - first));
        }
        // The details' own memory is read only where the dumps' tally
        // could not hold every congestion algorithm's name.
        if (row.details != nullptr && congestions_overflowed && row.details->has_tcp_info)
            add_congestion_text(row.details->congestion);
    }
}

std::uint32_t SnapshotTexts::address_text(Family family, const Address& address, std::string_view zone,
                                          LastAddress& last) {
    if (last.text != UINT32_MAX && last.family == family && last.address == address && last.zone == zone)
        return last.text;
    char text[ipv6_text_size];
    const std::uintptr_t at = texts.add({text, address_text_into(family, address, zone, text)});
    // Kept in 32 bits: distinct address texts of 4 GiB are no snapshot
    // this library could hold.
    if (at >= UINT32_MAX) throw std::bad_alloc();
    last = {family, address, zone, static_cast<std::uint32_t>(at)};
    return last.text;
}

void SnapshotTexts::add_congestion_text(const std::array<char, 16>& name) {
    for (const auto& [bytes, offset] : congestions_)
        if (bytes == name) return;
    congestions_.emplace_back(name, name[0] != '\0' ? texts.add(well_formed_utf8(name.data())) : no_text);
}

std::uintptr_t SnapshotTexts::congestion_text(const std::array<char, 16>& name) const {
    for (const auto& [bytes, offset] : congestions_)
        if (bytes == name) return offset;
    return no_text; // not gathered: none of the table's
}

void SnapshotTexts::add_owner_texts(std::uint32_t process) {
    const auto [at, added] = owners.try_emplace(process);
    if (!added) return;
    const OwnerNames::Names* found = table_.names.find_both(process);
    if (found == nullptr) return;
    at->second.name = texts.add(well_formed_utf8(found->name));
    at->second.comm = texts.add(well_formed_utf8(found->comm));
    if (!found->cgroup.empty()) at->second.cgroup = texts.add(well_formed_utf8(found->cgroup));
    if (!found->container.empty()) at->second.container = texts.add(well_formed_utf8(found->container));
    if (!found->user_container.empty()) {
        at->second.user_container = texts.add(well_formed_utf8(found->user_container));
        at->second.container_user = found->container_user;
    }
}

void SnapshotTexts::add_namespace_name(const SocketRow& row) {
    const NamespaceOfRows* ns = table_.namespace_of(row);
    if (ns == nullptr || ns->name.empty()) return;
    const auto [at, added] = namespaces.try_emplace(ns->inode);
    if (added) at->second = texts.add(well_formed_utf8(ns->name));
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

sockscope_memory public_memory(const std::array<std::uint32_t, 9>& m) {
    sockscope_memory memory{};
    memory.size = sizeof memory;
    memory.receive_allocated = m[0];
    memory.receive_buffer = m[1];
    memory.send_allocated = m[2];
    memory.send_buffer = m[3];
    memory.forward_allocated = m[4];
    memory.send_queued = m[5];
    memory.options = m[6];
    memory.backlog = m[7];
    memory.drops = m[8];
    return memory;
}

// Where records go: each part's next record, and where the details' room
// ends (it is made for the details the dumps counted).
struct RecordPlaces {
    sockscope_socket* sockets;
    sockscope_owner* owners;
    sockscope_tcp_info* tcp_infos;
    sockscope_timer* timers;
    sockscope_memory* memories;
    const sockscope_tcp_info* tcp_infos_end;
    const sockscope_timer* timers_end;
    const sockscope_memory* memories_end;
};

// Writes a row's records, their texts pointing into `texts`, where the
// gathered texts lie.
class RecordWriter {
public:
    RecordWriter(const OwnedTable& table, const SnapshotTexts& gathered, const char* texts)
        : table_(table), gathered_(gathered), texts_(texts) {}
    // Row `index`'s socket, its owners and details, each at its part's
    // place, which moves past it.
    void write_socket(std::size_t index, RecordPlaces& places) const;

private:
    void write_owner(std::uint32_t process, std::uint32_t fd, sockscope_owner& owner) const;
    void write_details(const SocketDetails& details, sockscope_socket& socket, RecordPlaces& places) const;
    const char* text(std::uintptr_t offset) const { return offset == no_text ? nullptr : texts_ + offset; }

    const OwnedTable& table_;
    const SnapshotTexts& gathered_;
    const char* texts_;
};

void RecordWriter::write_socket(std::size_t index, RecordPlaces& places) const {
    const SocketRow& row = table_.rows[index];
    sockscope_socket& socket = *new (places.sockets++) sockscope_socket{};
    const bool tcp = row.protocol == Protocol::tcp;
    socket.protocol = tcp ? 6 : 17;
    socket.family = row.family == Family::ipv4 ? 2 : 10;
    socket.state = row.state;
    socket.v6only = row.v6only ? 1 : 0;
    socket.interface = row.interface_index;
    socket.state_name = kernel_state_name(tcp, row.state);
    std::memcpy(socket.local_address, row.local_address.data(), sizeof socket.local_address);
    std::memcpy(socket.remote_address, row.remote_address.data(), sizeof socket.remote_address);
    socket.local_text = texts_ + gathered_.addresses[index].local;
    socket.remote_text = texts_ + gathered_.addresses[index].remote;
    socket.local_port = static_cast<std::uint16_t>(port_to_host_order(row.local_port));
    socket.remote_port = static_cast<std::uint16_t>(port_to_host_order(row.remote_port));
    socket.uid = row.uid;
    socket.netns = row.netns;
    if (const NamespaceOfRows* ns = table_.namespace_of(row); ns != nullptr && !ns->name.empty())
        socket.netns_name = text(gathered_.namespaces.at(ns->inode));
    socket.receive_queue = row.receive_queue;
    socket.send_queue = row.send_queue;
    socket.flags = row.send_queue_known ? 0 : SOCKSCOPE_SEND_QUEUE_UNKNOWN;
    socket.inode = row.inode;
    socket.cookie = row.cookie;
    if (row.inode != 0) {
        const auto [first, last] = holders_of(table_.holders, row);
        socket.owner_count = static_cast<std::uint32_t>(last - first);
        if (first != last) socket.owners = places.owners;
        for (auto holder = first; holder != last; ++holder) write_owner(holder->process, holder->fd, *places.owners++);
    }
    if (row.details != nullptr) write_details(*row.details, socket, places);
}

void RecordWriter::write_owner(std::uint32_t process, std::uint32_t fd, sockscope_owner& place) const {
    sockscope_owner& owner = *new (&place) sockscope_owner{};
    owner.pid = process;
    owner.fd = static_cast<std::int32_t>(fd);
    const OwnerTexts& found = gathered_.owners.at(process);
    owner.name = text(found.name);
    owner.comm = text(found.comm);
    owner.cgroup = text(found.cgroup);
    owner.container = text(found.container);
    owner.user_container = text(found.user_container);
    owner.container_user = found.container_user;
}

void RecordWriter::write_details(const SocketDetails& details, sockscope_socket& socket,
                                 RecordPlaces& places) const {
    // Never past the room: a count that fell short would be a fault of the
    // library's, answered as one (EIO), not written over what follows.
    if ((details.has_tcp_info && places.tcp_infos == places.tcp_infos_end) ||
        (details.has_timer && places.timers == places.timers_end) ||
        (details.has_memory && places.memories == places.memories_end))
        throw std::logic_error("more socket details than counted");
    if (details.has_tcp_info) {
        *places.tcp_infos = public_tcp_info(details.info, details.tcp_info_size);
        places.tcp_infos->congestion = text(gathered_.congestion_text(details.congestion));
        socket.tcp_info = places.tcp_infos++;
    }
    if (details.has_timer) {
        *places.timers =
            sockscope_timer{sizeof(sockscope_timer), details.timer, details.retransmits, 0, details.expires_ms};
        socket.timer = places.timers++;
    }
    if (details.has_memory) {
        *places.memories = public_memory(details.memory);
        socket.memory = places.memories++;
    }
}

// The parts of records for so many sockets, owners and details, each at a
// multiple of 8 from `start`: where each begins, and where they end.
struct RecordLayout {
    std::size_t sockets_at, owners_at, infos_at, timers_at, memories_at, end;
    std::size_t infos, timers, memories;

    RecordLayout(std::size_t start, std::size_t socket_count, std::size_t owner_count, std::size_t info_count,
                 std::size_t timer_count, std::size_t memory_count)
        : infos(info_count), timers(timer_count), memories(memory_count) {
        sockets_at = block_aligned(start);
        owners_at = sockets_at + block_aligned(socket_count * sizeof(sockscope_socket));
        infos_at = owners_at + block_aligned(owner_count * sizeof(sockscope_owner));
        timers_at = infos_at + block_aligned(infos * sizeof(sockscope_tcp_info));
        memories_at = timers_at + block_aligned(timers * sizeof(sockscope_timer));
        end = memories_at + block_aligned(memories * sizeof(sockscope_memory));
    }
    RecordPlaces places(char* base) const {
        return {reinterpret_cast<sockscope_socket*>(base + sockets_at),
                reinterpret_cast<sockscope_owner*>(base + owners_at),
                reinterpret_cast<sockscope_tcp_info*>(base + infos_at),
                reinterpret_cast<sockscope_timer*>(base + timers_at),
                reinterpret_cast<sockscope_memory*>(base + memories_at),
                reinterpret_cast<const sockscope_tcp_info*>(base + infos_at) + infos,
                reinterpret_cast<const sockscope_timer*>(base + timers_at) + timers,
                reinterpret_cast<const sockscope_memory*>(base + memories_at) + memories};
    }
};

sockscope_snapshot header_of(const OwnedTable& table, const sockscope_socket* sockets) {
    sockscope_snapshot header{};
    header.size = sizeof(sockscope_snapshot);
    header.socket_size = sizeof(sockscope_socket);
    header.owner_size = sizeof(sockscope_owner);
    header.count = table.rows.size();
    header.sockets = table.rows.empty() ? nullptr : sockets;
    header.unreadable_processes = table.unreadable_processes;
    header.skipped_namespaces = table.skipped_namespaces;
    return header;
}

// A walk's one socket at a time, in a room made for the largest.
class WalkOverTable final : public SocketWalk {
public:
    explicit WalkOverTable(OwnedTable table)
        : table_(std::move(table)), gathered_(table_), writer_(table_, gathered_, gathered_.texts.bytes().data()),
          layout_(0, 1, gathered_.most_owners, 1, 1, 1),
          room_(std::make_unique<std::uint64_t[]>(layout_.end / sizeof(std::uint64_t))),
          header_(header_of(table_, nullptr)) {}

    const sockscope_snapshot& header() const override { return header_; }
    const sockscope_socket& socket(std::size_t index) override {
        RecordPlaces places = layout_.places(reinterpret_cast<char*>(room_.get()));
        const sockscope_socket* written = places.sockets;
        writer_.write_socket(index, places);
        return *written;
    }

private:
    const OwnedTable table_;
    const SnapshotTexts gathered_;
    const RecordWriter writer_;
    const RecordLayout layout_;
    std::unique_ptr<std::uint64_t[]> room_;
    const sockscope_snapshot header_;
};

} // namespace

// The block on the C heap: the snapshot's header, its records, then the
// texts. Each record is written once, in its place.
sockscope_snapshot* make_socket_snapshot(const OwnedTable& table) {
    const SnapshotTexts gathered(table);
    const RecordLayout layout(sizeof(sockscope_snapshot), table.rows.size(), gathered.owner_count,
                              gathered.tcp_infos, gathered.timers, gathered.memories);
    const WorkingVector<char>& texts = gathered.texts.bytes();
    auto* block = static_cast<char*>(std::malloc(layout.end + texts.size()));
    if (block == nullptr) throw std::bad_alloc();
    prefer_huge_pages(block, layout.end + texts.size());
    if (!texts.empty()) std::memcpy(block + layout.end, texts.data(), texts.size());
    const RecordWriter writer(table, gathered, block + layout.end);
    RecordPlaces places = layout.places(block);
    for (std::size_t i = 0; i < table.rows.size(); ++i) writer.write_socket(i, places);
    return new (block) sockscope_snapshot(header_of(table, layout.places(block).sockets));
}

std::unique_ptr<SocketWalk> walk_socket_table(OwnedTable table) {
    return std::make_unique<WalkOverTable>(std::move(table));
}

} // namespace sockscope_detail
