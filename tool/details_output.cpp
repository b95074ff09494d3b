// SPDX-License-Identifier: MIT
#include "details_output.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include <sockscope_text/decimal.h>

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

using sockscope_text::append_decimal;

// Fields are written without printf: a listing of many thousands of
// connections writes some forty of them each.

// The blank before a field, when the line has one already.
void separate(std::string& out) {
    if (!out.empty() && out.back() != ' ' && out.back() != '\t') out += ' ';
}

void number(std::string& out, std::string_view name, std::uint64_t value) {
    separate(out);
    out += name;
    append_decimal(out, value);
}

// `value` thousandths as a decimal with three places: 5164 is "5.164".
void thousandths(std::string& out, std::uint64_t value) {
    append_decimal(out, value / 1000);
    out += '.';
    const auto fraction = static_cast<unsigned>(value % 1000);
    out += static_cast<char>('0' + fraction / 100);
    out += static_cast<char>('0' + fraction / 10 % 10);
    out += static_cast<char>('0' + fraction % 10);
}

void append_timer(std::string& out, const sockscope_timer& timer) {
    separate(out);
    out += "timer:(";
    out += timer_name(timer.kind);
    out += ',';
    thousandths(out, timer.expires_ms);
    out += "s,";
    append_decimal(out, timer.retransmits);
    out += ')';
}

void append_memory(std::string& out, const sockscope_memory& m) {
    separate(out);
    const std::pair<const char*, std::uint32_t> figures[] = {
        {"skmem:(r", m.receive_allocated}, {",rb", m.receive_buffer}, {",t", m.send_allocated},
        {",tb", m.send_buffer},            {",f", m.forward_allocated}, {",w", m.send_queued},
        {",o", m.options},                 {",bl", m.backlog},          {",d", m.drops}};
    for (const auto& [name, value] : figures) {
        out += name;
        append_decimal(out, value);
    }
    out += ')';
}

// Bits a second as a person reads them, one decimal: 1.2Mbps.
void rate(std::string& out, std::string_view name, std::uint64_t bytes_a_second) {
    separate(out);
    out += name;
    const unsigned __int128 bits = static_cast<unsigned __int128>(bytes_a_second) * 8;
    static constexpr struct {
        std::uint64_t unit;
        const char* suffix;
    } units[] = {{1000000000, "Gbps"}, {1000000, "Mbps"}, {1000, "Kbps"}};
    for (const auto& [unit, suffix] : units) {
        if (bits < unit) continue;
        const unsigned __int128 tenths = (bits * 10 + unit / 2) / unit;
        append_decimal(out, static_cast<std::uint64_t>(tenths / 10));
        out += '.';
        out += static_cast<char>('0' + static_cast<unsigned>(tenths % 10));
        out += suffix;
        return;
    }
    append_decimal(out, static_cast<std::uint64_t>(bits));
    out += "bps";
}

// Microseconds as milliseconds with three places.
void milliseconds(std::string& out, std::string_view name, std::uint64_t microseconds) {
    separate(out);
    out += name;
    thousandths(out, microseconds);
}

void word(std::string& out, std::string_view text) {
    separate(out);
    out += text;
}

void append_tcp_info(std::string& out, const sockscope_tcp_info& i, bool listening) {
    // The algorithm's name is the kernel's, which a module may set: only
    // printable ASCII is shown as it is.
    if (i.congestion != nullptr) {
        separate(out);
        for (const char* c = i.congestion; *c != '\0'; ++c) out += (*c > ' ' && *c < 0x7F) ? *c : '?';
    }
    // A listener's other fields are not a connection's: left out.
    if (listening) return;
    if ((i.options & SOCKSCOPE_TCPI_WINDOW_SCALE) != 0) {
        number(out, "wscale:", i.send_window_scale);
        out += ',';
        append_decimal(out, i.receive_window_scale);
    }
    if ((i.options & SOCKSCOPE_TCPI_TIMESTAMPS) != 0) word(out, "ts");
    if ((i.options & SOCKSCOPE_TCPI_SACK) != 0) word(out, "sack");
    if ((i.options & SOCKSCOPE_TCPI_ECN) != 0) word(out, "ecn");
    number(out, "rto:", (i.rto + 500) / 1000);
    milliseconds(out, "rtt:", i.rtt);
    out += '/';
    thousandths(out, i.rttvar);
    if (i.ato != 0) number(out, "ato:", (i.ato + 500) / 1000);
    number(out, "mss:", i.send_mss);
    number(out, "pmtu:", i.pmtu);
    number(out, "rcvmss:", i.receive_mss);
    number(out, "advmss:", i.advertised_mss);
    number(out, "cwnd:", i.send_cwnd);
    if (i.send_ssthresh < 0xFFFF) number(out, "ssthresh:", i.send_ssthresh);
    number(out, "bytes_sent:", i.bytes_sent);
    if (i.bytes_retrans != 0) number(out, "bytes_retrans:", i.bytes_retrans);
    number(out, "bytes_acked:", i.bytes_acked);
    number(out, "bytes_received:", i.bytes_received);
    number(out, "segs_out:", i.segments_out);
    number(out, "segs_in:", i.segments_in);
    number(out, "data_segs_out:", i.data_segments_out);
    number(out, "data_segs_in:", i.data_segments_in);
    rate(out, "send:", i.rtt != 0 ? std::uint64_t{i.send_cwnd} * i.send_mss * 1000000ull / i.rtt : 0);
    number(out, "lastsnd:", i.last_data_sent_ms);
    number(out, "lastrcv:", i.last_data_received_ms);
    number(out, "lastack:", i.last_ack_received_ms);
    if (i.pacing_rate != ~std::uint64_t{0}) rate(out, "pacing_rate:", i.pacing_rate); // ~0: unlimited
    rate(out, "delivery_rate:", i.delivery_rate);
    number(out, "delivered:", i.delivered);
    if (i.app_limited != 0) word(out, "app_limited");
    number(out, "busy:", i.busy_time / 1000);
    out += "ms";
    if (i.receive_window_limited != 0) {
        number(out, "rwnd_limited:", i.receive_window_limited / 1000);
        out += "ms";
    }
    if (i.send_buffer_limited != 0) {
        number(out, "sndbuf_limited:", i.send_buffer_limited / 1000);
        out += "ms";
    }
    if (i.unacked != 0) number(out, "unacked:", i.unacked);
    if (i.retrans != 0 || i.total_retrans != 0) {
        number(out, "retrans:", i.retrans);
        out += '/';
        append_decimal(out, i.total_retrans);
    }
    if (i.lost != 0) number(out, "lost:", i.lost);
    if (i.sacked != 0) number(out, "sacked:", i.sacked);
    if (i.reordering != 3) number(out, "reordering:", i.reordering);
    if (i.receive_rtt != 0) milliseconds(out, "rcv_rtt:", i.receive_rtt);
    number(out, "rcv_space:", i.receive_space);
    number(out, "rcv_ssthresh:", i.receive_ssthresh);
    if (i.not_sent_bytes != 0) number(out, "notsent:", i.not_sent_bytes);
    milliseconds(out, "minrtt:", i.min_rtt);
    number(out, "snd_wnd:", i.send_window);
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
