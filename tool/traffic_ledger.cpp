// SPDX-License-Identifier: MIT
#include "traffic_ledger.h"

#include <algorithm>
#include <tuple>

namespace sockscope_tool {

namespace {

std::uint64_t growth(std::uint64_t now, std::uint64_t before) { return now > before ? now - before : 0; }

} // namespace

TrafficCounts& TrafficLedger::counts_of(const TrafficKey& key) {
    const auto found = totals_.find(key);
    if (found != totals_.end()) return found->second;
    const std::size_t ordinary = totals_.size() - (totals_.count(TrafficKey{0, {}, {}, true}) != 0 ? 1 : 0);
    if (max_keys_ != 0 && ordinary >= max_keys_) return totals_[TrafficKey{0, {}, {}, true}];
    return totals_[key];
}

void TrafficLedger::look(const std::vector<LiveConnection>& connections, bool changes_recorded) {
    for (auto& [key, counts] : totals_) counts.open = 0;
    std::unordered_map<std::uint64_t, Followed> seen;
    seen.reserve(connections.size());
    for (const LiveConnection& connection : connections) {
        if (connection.cookie != 0 && closed_since_look_.count(connection.cookie) != 0) continue;
        TrafficCounts& counts = counts_of(connection.key);
        ++counts.open;
        if (connection.cookie == 0) continue;
        const auto before = followed_.find(connection.cookie);
        if (before == followed_.end()) {
            counts.bytes_sent += connection.bytes_sent;
            counts.bytes_received += connection.bytes_received;
            if (!changes_recorded && looked_) ++counts.opened;
        } else {
            counts.bytes_sent += growth(connection.bytes_sent, before->second.bytes_sent);
            counts.bytes_received += growth(connection.bytes_received, before->second.bytes_received);
        }
        seen[connection.cookie] = Followed{connection.key, connection.bytes_sent, connection.bytes_received};
    }
    if (!changes_recorded) {
        for (const auto& [cookie, gone] : followed_)
            if (seen.count(cookie) == 0) ++counts_of(gone.key).closed;
    }
    followed_ = std::move(seen);
    closed_since_look_.clear();
    looked_ = true;
    looking_ = false;
}

void TrafficLedger::begin_look() {
    closed_since_look_.clear();
    looking_ = true;
}

void TrafficLedger::change(const ConnectionChange& change) {
    if (!change.closed) {
        ++counts_of(change.key).opened;
        return;
    }
    // The looks followed it under the key they saw; its remaining bytes
    // go there too, so that a key's bytes never jump between two keys.
    const auto followed = followed_.find(change.cookie);
    if (change.cookie != 0 && followed != followed_.end()) {
        TrafficCounts& counts = counts_of(followed->second.key);
        ++counts.closed;
        counts.bytes_sent += growth(change.bytes_sent, followed->second.bytes_sent);
        counts.bytes_received += growth(change.bytes_received, followed->second.bytes_received);
        followed_.erase(followed);
    } else {
        TrafficCounts& counts = counts_of(change.key);
        ++counts.closed;
        counts.bytes_sent += change.bytes_sent;
        counts.bytes_received += change.bytes_received;
    }
    if (looking_ && change.cookie != 0) closed_since_look_.insert(change.cookie);
}

std::vector<TrafficRates> traffic_rates(const std::map<TrafficKey, TrafficCounts>& before,
                                        const std::map<TrafficKey, TrafficCounts>& now, double seconds) {
    std::vector<TrafficRates> rates;
    rates.reserve(now.size());
    const double per = seconds > 0 ? 1.0 / seconds : 0.0;
    for (const auto& [key, counts] : now) {
        const auto old = before.find(key);
        const TrafficCounts zero;
        const TrafficCounts& was = old == before.end() ? zero : old->second;
        const auto rate = [&](std::uint64_t a, std::uint64_t b) {
            return static_cast<double>(a >= b ? a - b : a) * per;
        };
        rates.push_back(TrafficRates{key, counts.open, rate(counts.opened, was.opened), rate(counts.closed, was.closed),
                                     rate(counts.bytes_sent, was.bytes_sent),
                                     rate(counts.bytes_received, was.bytes_received)});
    }
    return rates;
}

void sort_busiest_first(std::vector<TrafficRates>& rates) {
    std::sort(rates.begin(), rates.end(), [](const TrafficRates& a, const TrafficRates& b) {
        const auto rank = [](const TrafficRates& r) {
            return std::make_tuple(r.bytes_sent + r.bytes_received, r.opened + r.closed, r.open);
        };
        if (rank(a) != rank(b)) return rank(a) > rank(b);
        return a.key < b.key;
    });
}

} // namespace sockscope_tool
