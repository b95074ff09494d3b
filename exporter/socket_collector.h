// SPDX-License-Identifier: MIT
// What sockscope-exporter serves at /metrics: one snapshot of the sockets
// per scrape, and counters of connections and bytes kept by a thread of
// its own that reads the connection stream.
//
// One scrape collects at a time. A scrape that arrives while another
// collects waits for it, at most `scrape_wait`: when that one finishes in
// time it is served the families it made (fresher than any it could make
// itself); otherwise it is served the last families made, with
// sockscope_stale_scrapes_total counting it. A source that fails (the
// snapshot, the stream) shows as sockscope_source_up{source=...} 0, and the
// rest is served as usual.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "traffic_ledger.h"

namespace sockscope_exporter {

struct CollectorOptions {
    bool all_namespaces = false;       // every network namespace
    bool stream = true;                // read the connection stream
    std::size_t max_label_sets = 1000; // distinct label sets per metric, beyond: one overflow series
    std::chrono::milliseconds scrape_wait{5000};
};

class SocketCollector : public prometheus::Collectable {
public:
    explicit SocketCollector(const CollectorOptions& options);
    ~SocketCollector() override;
    SocketCollector(const SocketCollector&) = delete;
    SocketCollector& operator=(const SocketCollector&) = delete;

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    std::vector<prometheus::MetricFamily> collect_now() const;
    void read_stream();

    CollectorOptions options_;

    mutable std::timed_mutex collecting_;
    mutable std::mutex last_mutex_;
    mutable std::vector<prometheus::MetricFamily> last_;
    mutable std::chrono::steady_clock::time_point last_made_{};
    mutable std::atomic<std::uint64_t> stale_scrapes_{0};
    mutable std::atomic<std::uint64_t> scrapes_{0}; // collected

    mutable std::mutex ledger_mutex_;
    mutable sockscope_tool::TrafficLedger ledger_;
    bool stream_up_ = false; // under ledger_mutex_
    int stream_error_ = 0;   // under ledger_mutex_: why it is down
    std::uint64_t lost_records_ = 0; // under ledger_mutex_

    std::atomic<bool> stopping_{false};
    std::thread stream_thread_;
};

} // namespace sockscope_exporter
