// SPDX-License-Identifier: MIT
// Connections and bytes per owner (a process, a process name with its
// container, or a container: the caller decides what a key holds), added
// up from two sources: looks at the live TCP sockets (each socket's
// bytes_acked and bytes_received, keyed by its cookie, counted as the
// difference from the previous look) and records of connections that
// opened and closed (the connection stream), whose bytes at close complete
// what the looks saw of them. No system calls: the callers take the
// snapshots and read the stream.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sockscope_tool {

struct TrafficKey {
    std::uint32_t pid = 0; // 0 where the caller groups by name
    std::string name;
    std::string container;
    bool overflow = false; // the one key that stands for every key past the limit
    auto operator<=>(const TrafficKey&) const = default;
};

struct TrafficCounts {
    std::uint64_t open = 0;   // connections open at the last look
    std::uint64_t opened = 0; // counters from the start
    std::uint64_t closed = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;
    bool operator==(const TrafficCounts&) const = default;
};

// A connection as one look saw it.
struct LiveConnection {
    std::uint64_t cookie = 0; // 0: not known (counted open, bytes not followed)
    TrafficKey key;
    std::uint64_t bytes_sent = 0; // acknowledged by the peer
    std::uint64_t bytes_received = 0;
};

// A record of the stream.
struct ConnectionChange {
    std::uint64_t cookie = 0;
    TrafficKey key;
    bool closed = false; // false: it opened
    std::uint64_t bytes_sent = 0; // at close
    std::uint64_t bytes_received = 0;
};

class TrafficLedger {
public:
    // At most max_keys distinct keys (0: no limit) besides the overflow
    // key, under which the connections of every further key are counted:
    // memory stays bounded however many names come and go.
    explicit TrafficLedger(std::size_t max_keys = 0) : max_keys_(max_keys) {}

    // One look at every live connection. Bytes count as the growth since
    // the previous look; a connection first seen counts all its bytes. A
    // connection whose close was recorded since the previous look is
    // passed over when begin_look() came before the snapshot (the snapshot
    // was older than the record). Without the
    // stream (changes_recorded false) the looks count the opened and
    // closed connections themselves: cookies new since the previous look
    // (not at the first look) and cookies gone.
    void look(const std::vector<LiveConnection>& connections, bool changes_recorded);

    // Where changes are recorded while a snapshot is taken (another
    // thread reads the stream), said before the snapshot: a connection
    // whose close is recorded from then until look() is left out of that
    // look. Only those closes are kept, so memory stays bounded however
    // long no look comes.
    void begin_look();

    // A connection opened or closed. A close adds the bytes the looks had
    // not yet seen of it.
    void change(const ConnectionChange& change);

    const std::map<TrafficKey, TrafficCounts>& totals() const { return totals_; }
    // Drops a key's totals (a live view forgets an owner gone quiet, so
    // that a long run over many short-lived processes stays small); its
    // connections still followed start it afresh when they change.
    void forget(const TrafficKey& key) { totals_.erase(key); }
    // Connections followed between looks.
    std::size_t followed() const { return followed_.size(); }

private:
    struct Followed {
        TrafficKey key;
        std::uint64_t bytes_sent = 0;
        std::uint64_t bytes_received = 0;
    };
    TrafficCounts& counts_of(const TrafficKey& key);

    std::size_t max_keys_;
    bool looked_ = false;
    bool looking_ = false;
    std::map<TrafficKey, TrafficCounts> totals_;
    std::unordered_map<std::uint64_t, Followed> followed_;
    std::unordered_set<std::uint64_t> closed_since_look_;
};

// Per-second rates between two totals taken `seconds` apart: each key of
// `now`, with its open count as is and every counter's growth divided by
// the time (a counter that went back, as a key that came back after the
// overflow, counts from 0).
struct TrafficRates {
    TrafficKey key;
    std::uint64_t open = 0;
    double opened = 0, closed = 0, bytes_sent = 0, bytes_received = 0;
};
std::vector<TrafficRates> traffic_rates(const std::map<TrafficKey, TrafficCounts>& before,
                                        const std::map<TrafficKey, TrafficCounts>& now, double seconds);

// Busiest first: bytes a second both ways, then connections opened and
// closed, then open connections, then the key.
void sort_busiest_first(std::vector<TrafficRates>& rates);

} // namespace sockscope_tool
