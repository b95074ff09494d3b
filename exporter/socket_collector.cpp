// SPDX-License-Identifier: MIT
#include "socket_collector.h"

#include <sockscope/connections.h>
#include <sockscope/sockets.h>

#include <malloc.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string_view>
#include <tuple>

#include "library_handles.h"
#include "taken_snapshot.h"
#include "traffic_keys.h"

namespace sockscope_exporter {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using sockscope_tool::BatchFreer;
using sockscope_tool::TakenSnapshot;
using sockscope_tool::StreamCloser;
using sockscope_tool::TrafficCounts;
using sockscope_tool::TrafficKey;

// The label value of the one series that counts everything beyond the
// limit on label sets.
constexpr const char* overflow_value = "_other";


MetricFamily family(const char* name, const char* help, MetricType type) {
    MetricFamily made;
    made.name = name;
    made.help = help;
    made.type = type;
    return made;
}

void add(MetricFamily& to, std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    if (to.type == MetricType::Counter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
    to.metric.push_back(std::move(metric));
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<ClientMetric::Label> owner_labels(const TrafficKey& key) {
    if (key.overflow) return {{"container", overflow_value}, {"process", overflow_value}};
    return {{"container", key.container}, {"process", key.name}};
}

const char* protocol_name(int protocol) { return protocol == IPPROTO_UDP ? "udp" : "tcp"; }
const char* family_name(int family) { return family == AF_INET6 ? "ipv6" : "ipv4"; }

void add_snapshot_families(const TakenSnapshot& taken, std::size_t max_label_sets,
                           std::vector<MetricFamily>& families) {
    const sockscope_snapshot& snapshot = taken.header();
    std::map<std::tuple<int, int, std::string>, std::uint64_t> sockets;
    using Listener = std::tuple<std::string, std::string, std::string, std::string>; // protocol, port, process, container
    std::map<Listener, std::uint64_t> listeners;
    for (std::size_t i = 0; i < snapshot.count; ++i) {
        const sockscope_socket& socket = taken.socket(i);
        ++sockets[{socket.protocol, socket.family, lower(socket.state_name != nullptr ? socket.state_name : "")}];
        const bool listening = socket.protocol == IPPROTO_TCP ? socket.state == SOCKSCOPE_LISTEN
                                                              : socket.state == SOCKSCOPE_CLOSE && socket.local_port != 0;
        if (!listening) continue;
        const sockscope_owner* owner = socket.owner_count != 0 ? sockscope_owner_at(&snapshot, &socket, 0) : nullptr;
        const char* name = owner == nullptr ? nullptr : owner->name != nullptr ? owner->name : owner->comm;
        Listener listener{protocol_name(socket.protocol), std::to_string(socket.local_port), name ? name : "",
                          owner != nullptr && owner->container != nullptr ? owner->container : ""};
        if (max_label_sets != 0 && listeners.size() >= max_label_sets && listeners.count(listener) == 0)
            listener = Listener{overflow_value, overflow_value, overflow_value, overflow_value};
        ++listeners[listener];
    }
    MetricFamily by_state = family("sockscope_sockets", "Sockets by protocol, address family and state.", MetricType::Gauge);
    for (const auto& [key, count] : sockets)
        add(by_state,
            {{"family", family_name(std::get<1>(key))}, {"protocol", protocol_name(std::get<0>(key))},
             {"state", std::get<2>(key)}},
            static_cast<double>(count));
    families.push_back(std::move(by_state));
    MetricFamily listening = family("sockscope_listeners",
                                    "Listening sockets (TCP) and bound unconnected sockets (UDP) by local port and "
                                    "owning process.",
                                    MetricType::Gauge);
    for (const auto& [key, count] : listeners)
        add(listening,
            {{"container", std::get<3>(key)}, {"port", std::get<1>(key)}, {"process", std::get<2>(key)},
             {"protocol", std::get<0>(key)}},
            static_cast<double>(count));
    families.push_back(std::move(listening));
    MetricFamily unreadable = family("sockscope_unreadable_processes",
                                     "Processes whose descriptors could not be read: their sockets may lack owners.",
                                     MetricType::Gauge);
    add(unreadable, {}, snapshot.unreadable_processes);
    families.push_back(std::move(unreadable));
    MetricFamily skipped = family("sockscope_skipped_namespaces",
                                  "Network namespaces that could not be read.", MetricType::Gauge);
    add(skipped, {}, snapshot.skipped_namespaces);
    families.push_back(std::move(skipped));
}

void add_ledger_families(const std::map<TrafficKey, TrafficCounts>& totals, std::vector<MetricFamily>& families) {
    MetricFamily open = family("sockscope_connections",
                               "Connections open (TCP, not listening) and UDP sockets, by process name and container.",
                               MetricType::Gauge);
    MetricFamily opened = family("sockscope_connections_opened_total", "TCP connections opened, by process name and container.",
                                 MetricType::Counter);
    MetricFamily closed = family("sockscope_connections_closed_total", "TCP connections closed, by process name and container.",
                                 MetricType::Counter);
    MetricFamily sent = family("sockscope_sent_bytes_total",
                               "TCP payload bytes sent and acknowledged by the peer, by process name and container.",
                               MetricType::Counter);
    MetricFamily received = family("sockscope_received_bytes_total",
                                   "TCP payload bytes received, by process name and container.", MetricType::Counter);
    for (const auto& [key, counts] : totals) {
        add(open, owner_labels(key), static_cast<double>(counts.open));
        add(opened, owner_labels(key), static_cast<double>(counts.opened));
        add(closed, owner_labels(key), static_cast<double>(counts.closed));
        add(sent, owner_labels(key), static_cast<double>(counts.bytes_sent));
        add(received, owner_labels(key), static_cast<double>(counts.bytes_received));
    }
    for (MetricFamily* made : {&open, &opened, &closed, &sent, &received}) families.push_back(std::move(*made));
}

} // namespace

SocketCollector::SocketCollector(const CollectorOptions& options)
    : options_(options), ledger_(options.max_label_sets) {
    if (options_.stream) stream_thread_ = std::thread([this] { read_stream(); });
}

SocketCollector::~SocketCollector() {
    stopping_ = true;
    if (stream_thread_.joinable()) stream_thread_.join();
}

std::vector<MetricFamily> SocketCollector::Collect() const {
    const auto arrived = std::chrono::steady_clock::now();
    std::unique_lock<std::timed_mutex> collecting(collecting_, std::defer_lock);
    if (!collecting.try_lock_for(options_.scrape_wait)) {
        ++stale_scrapes_;
        const std::lock_guard<std::mutex> lock(last_mutex_);
        return last_;
    }
    {
        // Another scrape finished collecting while this one waited.
        const std::lock_guard<std::mutex> lock(last_mutex_);
        if (last_made_ >= arrived) return last_;
    }
    std::vector<MetricFamily> made = collect_now();
    {
        const std::lock_guard<std::mutex> lock(last_mutex_);
        last_ = made;
        last_made_ = std::chrono::steady_clock::now();
    }
    // A snapshot of a busy machine is megabytes, freed by now. Every so
    // many scrapes, what the allocator keeps free is given back to the
    // system, so that the service's memory follows what it holds and not
    // the largest snapshot it ever took (the allocator would keep that in
    // the arena of the thread that took it). Not at every scrape: memory
    // given back is faulted in afresh by the next, which made a scrape at
    // 10,000 connections take half again as long.
    constexpr std::uint64_t scrapes_between_trims = 16;
    if (scrapes_.fetch_add(1, std::memory_order_relaxed) % scrapes_between_trims == scrapes_between_trims - 1)
        malloc_trim(0);
    return made;
}

std::vector<MetricFamily> SocketCollector::collect_now() const {
    const auto started = std::chrono::steady_clock::now();
    std::vector<MetricFamily> families;
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_UDP | (options_.all_namespaces ? SOCKSCOPE_ALL_NAMESPACES : 0u);
    selection.details = SOCKSCOPE_TCP_INFO;
    {
        const std::lock_guard<std::mutex> lock(ledger_mutex_);
        ledger_.begin_look();
    }
    // A walk: the sockets are read once each, never held as a block.
    const TakenSnapshot taken(selection);
    const int snapshot_error = taken.error();
    std::vector<sockscope_tool::LiveConnection> live;
    if (snapshot_error == 0) {
        add_snapshot_families(taken, options_.max_label_sets, families);
        live = sockscope_tool::live_connections(taken, sockscope_tool::TrafficGrouping::name);
    }
    bool stream_up = false;
    std::uint64_t lost = 0;
    {
        const std::lock_guard<std::mutex> lock(ledger_mutex_);
        if (snapshot_error == 0) ledger_.look(live, stream_up_);
        add_ledger_families(ledger_.totals(), families);
        stream_up = stream_up_;
        lost = lost_records_;
    }
    MetricFamily lost_family = family("sockscope_stream_lost_records_total",
                                      "Records of the connection stream lost (buffer full, or a change no program "
                                      "saw): each may have been a connection closing.",
                                      MetricType::Counter);
    add(lost_family, {}, static_cast<double>(lost));
    families.push_back(std::move(lost_family));
    MetricFamily up = family("sockscope_source_up",
                             "1 when the source answered: snapshot (the socket tables, taken at each scrape), "
                             "stream (the connection stream; 0 without CAP_BPF and CAP_PERFMON, or when turned off).",
                             MetricType::Gauge);
    add(up, {{"source", "snapshot"}}, snapshot_error == 0 ? 1 : 0);
    add(up, {{"source", "stream"}}, stream_up ? 1 : 0);
    families.push_back(std::move(up));
    MetricFamily stale = family("sockscope_stale_scrapes_total",
                                "Scrapes served the previous result because another was still collecting.",
                                MetricType::Counter);
    add(stale, {}, static_cast<double>(stale_scrapes_.load()));
    families.push_back(std::move(stale));
    MetricFamily duration = family("sockscope_scrape_duration_seconds",
                                   "Time this scrape took to read the sockets and make its metrics.", MetricType::Gauge);
    add(duration, {},
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    families.push_back(std::move(duration));
    return families;
}

void SocketCollector::read_stream() {
    // Opened at start; opened again every half minute while it fails (the
    // capabilities may come, libbpf may get installed).
    constexpr auto retry = std::chrono::seconds(30);
    constexpr auto tick = std::chrono::milliseconds(250);
    constexpr auto gathering = std::chrono::milliseconds(100);
    constexpr std::size_t batch_size = 4096;
    while (!stopping_) {
        sockscope_stream_options stream_options = SOCKSCOPE_STREAM_OPTIONS_INIT;
        stream_options.flags = SOCKSCOPE_STREAM_OPENS;
        const std::unique_ptr<sockscope_stream, StreamCloser> stream(sockscope_stream_open(&stream_options));
        const int open_error = stream ? 0 : errno;
        {
            const std::lock_guard<std::mutex> lock(ledger_mutex_);
            stream_up_ = stream != nullptr;
            // Said once each time it changes, not every half minute.
            if (open_error != 0 && open_error != stream_error_)
                std::fprintf(stderr,
                             "sockscope-exporter: cannot open the connection stream (%s): connections that open and "
                             "close between two scrapes are not counted\n",
                             std::strerror(open_error));
            stream_error_ = open_error;
        }
        if (!stream) {
            const auto until = std::chrono::steady_clock::now() + retry;
            while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(tick);
            continue;
        }
        pollfd wait{sockscope_stream_fd(stream.get()), POLLIN, 0};
        bool failed = false;
        int read_error = 0;
        while (!stopping_ && !failed) {
            const int ready = poll(&wait, 1, static_cast<int>(tick.count()));
            if (ready <= 0) continue;
            // Let records gather: one read of many costs far less than many
            // of one, and the counters are wanted at a scrape only. A tenth
            // of a second at 14,000 connections a second is well within the
            // kernel's buffer.
            std::this_thread::sleep_for(gathering);
            for (bool full = true; full && !stopping_;) {
                const std::unique_ptr<sockscope_connections, BatchFreer> batch(
                    sockscope_stream_read(stream.get(), batch_size));
                if (!batch) {
                    read_error = errno;
                    failed = true;
                    break;
                }
                full = batch->count == batch_size;
                const std::lock_guard<std::mutex> lock(ledger_mutex_);
                lost_records_ += batch->lost;
                sockscope_tool::ConnectionChange change;
                for (std::size_t i = 0; i < batch->count; ++i)
                    if (sockscope_tool::connection_change(*sockscope_connection_at(batch.get(), i),
                                                          sockscope_tool::TrafficGrouping::name, change))
                        ledger_.change(change);
            }
        }
        const std::lock_guard<std::mutex> lock(ledger_mutex_);
        stream_up_ = false;
        if (failed) std::fprintf(stderr, "sockscope-exporter: cannot read the connection stream (%s)\n", std::strerror(read_error));
    }
}

} // namespace sockscope_exporter
