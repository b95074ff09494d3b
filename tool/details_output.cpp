// SPDX-License-Identifier: MIT
#include "details_output.h"

#include <cstddef>
#include <cstdio>

namespace sockscope_tool {
namespace {

// Whether the socket records of `snapshot` reach past `member`.
bool reaches(const sockscope_snapshot& snapshot, std::size_t offset, std::size_t size) {
    return snapshot.socket_size >= offset + size;
}

const char* timer_name(std::uint8_t kind) {
    switch (kind) {
    case SOCKSCOPE_TIMER_OFF: return "off";
    case SOCKSCOPE_TIMER_RETRANSMIT: return "on";
    case SOCKSCOPE_TIMER_KEEPALIVE: return "keepalive";
    case SOCKSCOPE_TIMER_TIME_WAIT: return "timewait";
    case SOCKSCOPE_TIMER_PROBE: return "persist";
    default: return "unknown";
    }
}

// printf into `out`, for the numbers with units and decimals below.
template <typename... Values>
void append_format(std::string& out, const char* format, Values... values) {
    char text[96];
    const int written = std::snprintf(text, sizeof text, format, values...);
    if (written > 0) out.append(text, static_cast<std::size_t>(written) < sizeof text ? written : sizeof text - 1);
}

// A field, with the blank before it when the line has one already.
void field(std::string& out, const char* format, auto... values) {
    if (!out.empty() && out.back() != ' ' && out.back() != '\t') out += ' ';
    append_format(out, format, values...);
}

void append_timer(std::string& out, const sockscope_timer& timer) {
    field(out, "timer:(%s,%.3fs,%u)", timer_name(timer.kind), timer.expires_ms / 1000.0, unsigned{timer.retransmits});
}

void append_memory(std::string& out, const sockscope_memory& m) {
    field(out, "skmem:(r%u,rb%u,t%u,tb%u,f%u,w%u,o%u,bl%u,d%u)", m.receive_allocated, m.receive_buffer,
          m.send_allocated, m.send_buffer, m.forward_allocated, m.send_queued, m.options, m.backlog, m.drops);
}

// Bits a second as a person reads them: 1.2Mbps.
void rate(std::string& out, const char* name, std::uint64_t bytes_a_second) {
    const double bits = static_cast<double>(bytes_a_second) * 8;
    if (bits >= 1e9)
        field(out, "%s:%.1fGbps", name, bits / 1e9);
    else if (bits >= 1e6)
        field(out, "%s:%.1fMbps", name, bits / 1e6);
    else if (bits >= 1e3)
        field(out, "%s:%.1fKbps", name, bits / 1e3);
    else
        field(out, "%s:%.0fbps", name, bits);
}

void append_tcp_info(std::string& out, const sockscope_tcp_info& i, bool listening) {
    // The algorithm's name is the kernel's, which a module may set: only
    // printable ASCII is shown as it is.
    if (i.congestion != nullptr) {
        std::string name;
        for (const char* c = i.congestion; *c != '\0'; ++c) name += (*c > ' ' && *c < 0x7F) ? *c : '?';
        field(out, "%s", name.c_str());
    }
    // A listener's other fields are not a connection's: left out.
    if (listening) return;
    if ((i.options & SOCKSCOPE_TCPI_WINDOW_SCALE) != 0)
        field(out, "wscale:%u,%u", unsigned{i.send_window_scale}, unsigned{i.receive_window_scale});
    if ((i.options & SOCKSCOPE_TCPI_TIMESTAMPS) != 0) field(out, "ts");
    if ((i.options & SOCKSCOPE_TCPI_SACK) != 0) field(out, "sack");
    if ((i.options & SOCKSCOPE_TCPI_ECN) != 0) field(out, "ecn");
    field(out, "rto:%.0f", i.rto / 1000.0);
    field(out, "rtt:%.3f/%.3f", i.rtt / 1000.0, i.rttvar / 1000.0);
    if (i.ato != 0) field(out, "ato:%.0f", i.ato / 1000.0);
    field(out, "mss:%u", i.send_mss);
    field(out, "pmtu:%u", i.pmtu);
    field(out, "rcvmss:%u", i.receive_mss);
    field(out, "advmss:%u", i.advertised_mss);
    field(out, "cwnd:%u", i.send_cwnd);
    if (i.send_ssthresh < 0xFFFF) field(out, "ssthresh:%u", i.send_ssthresh);
    field(out, "bytes_sent:%llu", static_cast<unsigned long long>(i.bytes_sent));
    if (i.bytes_retrans != 0) field(out, "bytes_retrans:%llu", static_cast<unsigned long long>(i.bytes_retrans));
    field(out, "bytes_acked:%llu", static_cast<unsigned long long>(i.bytes_acked));
    field(out, "bytes_received:%llu", static_cast<unsigned long long>(i.bytes_received));
    field(out, "segs_out:%u segs_in:%u", i.segments_out, i.segments_in);
    field(out, "data_segs_out:%u data_segs_in:%u", i.data_segments_out, i.data_segments_in);
    rate(out, "send", i.rtt != 0 ? static_cast<std::uint64_t>(i.send_cwnd) * i.send_mss * 1000000ull / i.rtt : 0);
    field(out, "lastsnd:%u lastrcv:%u lastack:%u", i.last_data_sent_ms, i.last_data_received_ms,
          i.last_ack_received_ms);
    if (i.pacing_rate != ~std::uint64_t{0}) rate(out, "pacing_rate", i.pacing_rate); // ~0: unlimited
    rate(out, "delivery_rate", i.delivery_rate);
    field(out, "delivered:%u", i.delivered);
    if (i.app_limited != 0) field(out, "app_limited");
    field(out, "busy:%llums", static_cast<unsigned long long>(i.busy_time / 1000));
    if (i.receive_window_limited != 0)
        field(out, "rwnd_limited:%llums", static_cast<unsigned long long>(i.receive_window_limited / 1000));
    if (i.send_buffer_limited != 0)
        field(out, "sndbuf_limited:%llums", static_cast<unsigned long long>(i.send_buffer_limited / 1000));
    if (i.unacked != 0) field(out, "unacked:%u", i.unacked);
    if (i.retrans != 0 || i.total_retrans != 0) field(out, "retrans:%u/%u", i.retrans, i.total_retrans);
    if (i.lost != 0) field(out, "lost:%u", i.lost);
    if (i.sacked != 0) field(out, "sacked:%u", i.sacked);
    if (i.reordering != 3) field(out, "reordering:%u", i.reordering);
    if (i.receive_rtt != 0) field(out, "rcv_rtt:%.3f", i.receive_rtt / 1000.0);
    field(out, "rcv_space:%u rcv_ssthresh:%u", i.receive_space, i.receive_ssthresh);
    if (i.not_sent_bytes != 0) field(out, "notsent:%u", i.not_sent_bytes);
    field(out, "minrtt:%.3f", i.min_rtt / 1000.0);
    field(out, "snd_wnd:%u", i.send_window);
}

void write_tcp_info(JsonWriter& json, const sockscope_tcp_info& i) {
    json.open_object();
    json.key("congestion").text_or_null(i.congestion);
    json.key("ca_state").number(i.ca_state);
    json.key("retransmits").number(i.retransmits);
    json.key("probes").number(i.probes);
    json.key("backoff").number(i.backoff);
    json.key("timestamps").boolean((i.options & SOCKSCOPE_TCPI_TIMESTAMPS) != 0);
    json.key("sack").boolean((i.options & SOCKSCOPE_TCPI_SACK) != 0);
    json.key("ecn").boolean((i.options & SOCKSCOPE_TCPI_ECN) != 0);
    const bool scaled = (i.options & SOCKSCOPE_TCPI_WINDOW_SCALE) != 0;
    json.key("send_window_scale").number_or_null(i.send_window_scale, scaled);
    json.key("receive_window_scale").number_or_null(i.receive_window_scale, scaled);
    json.key("app_limited").boolean(i.app_limited != 0);
    const struct {
        const char* name;
        std::uint64_t value;
    } numbers[] = {
        {"rto_us", i.rto},
        {"ato_us", i.ato},
        {"send_mss", i.send_mss},
        {"receive_mss", i.receive_mss},
        {"unacked", i.unacked},
        {"sacked", i.sacked},
        {"lost", i.lost},
        {"retrans", i.retrans},
        {"last_data_sent_ms", i.last_data_sent_ms},
        {"last_data_received_ms", i.last_data_received_ms},
        {"last_ack_received_ms", i.last_ack_received_ms},
        {"pmtu", i.pmtu},
        {"receive_ssthresh", i.receive_ssthresh},
        {"rtt_us", i.rtt},
        {"rttvar_us", i.rttvar},
        {"send_ssthresh", i.send_ssthresh},
        {"send_cwnd", i.send_cwnd},
        {"advertised_mss", i.advertised_mss},
        {"reordering", i.reordering},
        {"receive_rtt_us", i.receive_rtt},
        {"receive_space", i.receive_space},
        {"total_retrans", i.total_retrans},
        {"min_rtt_us", i.min_rtt},
        {"not_sent_bytes", i.not_sent_bytes},
        {"delivered", i.delivered},
        {"send_window", i.send_window},
        {"pacing_rate", i.pacing_rate},
        {"max_pacing_rate", i.max_pacing_rate},
        {"bytes_acked", i.bytes_acked},
        {"bytes_received", i.bytes_received},
        {"bytes_sent", i.bytes_sent},
        {"bytes_retrans", i.bytes_retrans},
        {"delivery_rate", i.delivery_rate},
        {"busy_time_us", i.busy_time},
        {"receive_window_limited_us", i.receive_window_limited},
        {"send_buffer_limited_us", i.send_buffer_limited},
        {"segments_out", i.segments_out},
        {"segments_in", i.segments_in},
        {"data_segments_out", i.data_segments_out},
        {"data_segments_in", i.data_segments_in},
    };
    for (const auto& number : numbers) json.key(number.name).number(number.value);
    json.close_object();
}

} // namespace

SocketDetailsView details_of(const sockscope_snapshot& snapshot, const sockscope_socket& socket) {
    SocketDetailsView view;
    if (reaches(snapshot, offsetof(sockscope_socket, memory), sizeof socket.memory)) {
        view.tcp_info = socket.tcp_info;
        view.timer = socket.timer;
        view.memory = socket.memory;
    }
    view.listening = socket.state == SOCKSCOPE_LISTEN;
    return view;
}

void append_details_line(std::string& out, const SocketDetailsView& details) {
    if (details.timer != nullptr) append_timer(out, *details.timer);
    if (details.memory != nullptr) append_memory(out, *details.memory);
    if (details.tcp_info != nullptr) append_tcp_info(out, *details.tcp_info, details.listening);
}

void write_details_json(JsonWriter& json, const SocketDetailsView& details, std::uint32_t asked) {
    if ((asked & SOCKSCOPE_TCP_INFO) != 0) {
        json.key("tcp_info");
        if (details.tcp_info != nullptr)
            write_tcp_info(json, *details.tcp_info);
        else
            json.null();
    }
    if ((asked & SOCKSCOPE_TIMER) != 0) {
        json.key("timer");
        if (const sockscope_timer* timer = details.timer) {
            json.open_object();
            json.key("kind").ascii(timer_name(timer->kind));
            json.key("expires_ms").number(timer->expires_ms);
            json.key("retransmits").number(timer->retransmits);
            json.close_object();
        } else {
            json.null();
        }
    }
    if ((asked & SOCKSCOPE_MEMORY) != 0) {
        json.key("memory");
        if (const sockscope_memory* m = details.memory) {
            json.open_object();
            json.key("receive_allocated").number(m->receive_allocated);
            json.key("receive_buffer").number(m->receive_buffer);
            json.key("send_allocated").number(m->send_allocated);
            json.key("send_buffer").number(m->send_buffer);
            json.key("forward_allocated").number(m->forward_allocated);
            json.key("send_queued").number(m->send_queued);
            json.key("options").number(m->options);
            json.key("backlog").number(m->backlog);
            json.key("drops").number(m->drops);
            json.close_object();
        } else {
            json.null();
        }
    }
}

} // namespace sockscope_tool
