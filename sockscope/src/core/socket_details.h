// SPDX-License-Identifier: MIT
// What a sock_diag dump tells of a socket besides its row, when asked for:
// its TCP state (the kernel's struct tcp_info and congestion algorithm),
// its pending timer and its memory. Rows point at them (SocketRow::details);
// they live in a store of the call's, which threads reading other network
// namespaces add to at once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <linux/tcp.h>
#include <mutex>
#include <vector>

#include "core/working_memory.h"

namespace sockscope_detail {

// What a call asks the dumps for (the C interface's SOCKSCOPE_TCP_INFO,
// _TIMER and _MEMORY have the same values).
enum DetailBits : std::uint32_t { detail_tcp_info = 0x1, detail_timer = 0x2, detail_memory = 0x4 };

struct SocketDetails {
    bool has_tcp_info = false;
    bool has_timer = false;
    bool has_memory = false;
    // The kernel's struct tcp_info, zero past what it gave (tcp_info_size
    // bytes); a kernel newer than this header gives more, which is left out.
    tcp_info info{};
    std::uint32_t tcp_info_size = 0;
    std::array<char, 16> congestion{}; // null-terminated; empty when not given
    // inet_diag_msg's timer: 0 off, 1 retransmit, 2 keepalive, 3 TIME_WAIT,
    // 4 zero-window probe; its retransmissions and milliseconds left.
    std::uint8_t timer = 0;
    std::uint8_t retransmits = 0;
    std::uint32_t expires_ms = 0;
    // The kernel's sk_meminfo, in its order: rmem_alloc, rcvbuf,
    // wmem_alloc, sndbuf, fwd_alloc, wmem_queued, optmem, backlog, drops.
    std::array<std::uint32_t, 9> memory{};
};

// The details of a call's sockets, each at a fixed address until the store
// goes (rows point at them). Making one is safe from several threads, and
// the one made is its maker's to fill.
class DetailStore {
public:
    // What the details of the rows kept hold, counted as the dumps read
    // them (a row dropped later still counts: bounds, never short), and the
    // names of the congestion algorithms among them, so that a snapshot is
    // laid out without reading every detail once more.
    struct Tally {
        static constexpr std::size_t most_congestions = 8;
        std::size_t tcp_infos = 0, timers = 0, memories = 0;
        std::array<std::array<char, sizeof SocketDetails::congestion>, most_congestions> congestions{};
        std::size_t congestion_count = 0;
        bool congestions_overflowed = false; // more names than room: read them from the details

        void count(const SocketDetails& details) noexcept {
            tcp_infos += details.has_tcp_info;
            timers += details.has_timer;
            memories += details.has_memory;
            if (details.has_tcp_info) add_congestion(details.congestion);
        }
        void add(const Tally& other) noexcept {
            tcp_infos += other.tcp_infos;
            timers += other.timers;
            memories += other.memories;
            for (std::size_t i = 0; i < other.congestion_count; ++i) add_congestion(other.congestions[i]);
            congestions_overflowed |= other.congestions_overflowed;
        }
        void add_congestion(const std::array<char, sizeof SocketDetails::congestion>& name) noexcept {
            for (std::size_t i = 0; i < congestion_count; ++i)
                if (congestions[i] == name) return;
            if (congestion_count == most_congestions) congestions_overflowed = true;
            else congestions[congestion_count++] = name;
        }
    };

    void add(const Tally& tally) noexcept {
        const std::lock_guard<std::mutex> hold(lock_);
        tally_.add(tally);
    }
    // Once the dumps are done.
    const Tally& tally() const noexcept { return tally_; }

    SocketDetails& make() {
        const std::lock_guard<std::mutex> hold(lock_);
        if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
            // Each chunk twice the one before, up to a limit: a few
            // allocations for a large table, the largest from working
            // memory's huge pages.
            const std::size_t size = chunks_.empty() ? first_chunk : std::min(2 * chunks_.back().size(), last_chunk);
            chunks_.emplace_back();
            chunks_.back().reserve(size);
        }
        return chunks_.back().emplace_back();
    }

private:
    static constexpr std::size_t first_chunk = 256, last_chunk = 16384;
    std::mutex lock_;
    Tally tally_;
    // Never grown past their first capacity: a detail stays where it is.
    std::vector<WorkingVector<SocketDetails>> chunks_;
};

// Reads the details `wanted` (DetailBits) from one netlink attribute of a
// socket's message (INET_DIAG_INFO, INET_DIAG_CONG, INET_DIAG_SKMEMINFO);
// others are passed over. `payload` holds `length` bytes.
void read_detail_attribute(unsigned type, const unsigned char* payload, std::size_t length, std::uint32_t wanted,
                           SocketDetails& details);

} // namespace sockscope_detail
