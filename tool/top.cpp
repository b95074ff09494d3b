// SPDX-License-Identifier: MIT
#include "top.h"

#include <sockscope/connections.h>
#include <sockscope/sockets.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <sockscope_text/output.h>

#include "interrupts.h"
#include "library_handles.h"
#include "taken_snapshot.h"
#include "top_output.h"
#include "traffic_keys.h"
#include "traffic_ledger.h"

namespace sockscope_tool {

namespace {

constexpr const char* program = "sockscope";


void say(const std::string& text) {
    const std::string line = std::string(program) + ": " + text + "\n";
    sockscope_text::write_all(STDERR_FILENO, line, nullptr, nullptr);
}

// The terminal as a live view needs it: the alternate screen (what was on
// the terminal comes back at the end), no cursor, no wrapping, and keys
// read one by one without echo. All undone when it ends, however it ends
// short of SIGKILL (SIGINT and SIGTERM end the loop, not the process).
class LiveScreen {
public:
    explicit LiveScreen(Interrupts& interrupts) : interrupts_(interrupts) {
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            // No echo, no line editing, Ctrl-C as a key (the loop quits on
            // it); output as it is, lines end "\r\n".
            raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON | ISIG | IEXTEN));
            raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            keys_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
        }
        interrupts_.write(STDOUT_FILENO, "\x1b[?1049h\x1b[?25l\x1b[?7l");
    }
    ~LiveScreen() {
        std::size_t written = 0;
        interrupts_.write_unless_stalled(STDOUT_FILENO, "\x1b[?7h\x1b[?25h\x1b[?1049l", std::chrono::seconds(1),
                                         written);
        if (keys_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    LiveScreen(const LiveScreen&) = delete;
    LiveScreen& operator=(const LiveScreen&) = delete;

    bool reads_keys() const { return keys_; }

private:
    Interrupts& interrupts_;
    termios saved_{};
    bool keys_ = false;
};

std::string utc_time(std::chrono::system_clock::time_point now) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(since_epoch.count() / 1000);
    std::tm utc{};
    char clock[40] = "";
    if (gmtime_r(&seconds, &utc) != nullptr) std::strftime(clock, sizeof clock, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(since_epoch.count() % 1000));
    return std::string(clock) + millis;
}

std::string local_clock(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    char clock[16] = "";
    if (localtime_r(&seconds, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    return clock;
}

} // namespace

int run_top(const Options& options, bool terminal) {
    Interrupts interrupts;
    const bool screen = terminal && !options.json;
    const TrafficGrouping grouping = options.by_container ? TrafficGrouping::container : TrafficGrouping::process;

    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = (options.wants_tcp() ? SOCKSCOPE_TCP : 0u) | (options.wants_udp() ? SOCKSCOPE_UDP : 0u) |
                     (options.wants_ipv4() ? SOCKSCOPE_IPV4 : 0u) | (options.wants_ipv6() ? SOCKSCOPE_IPV6 : 0u) |
                     (options.all_namespaces ? SOCKSCOPE_ALL_NAMESPACES : 0u);
    selection.details = SOCKSCOPE_TCP_INFO;

    // The stream, where it can run, sees connections that close between
    // two looks; without it only connections that live across a look are
    // counted, which the view says.
    sockscope_stream_options stream_options = SOCKSCOPE_STREAM_OPTIONS_INIT;
    stream_options.flags = SOCKSCOPE_STREAM_OPENS;
    const std::unique_ptr<sockscope_stream, StreamCloser> stream(
        options.wants_tcp() ? sockscope_stream_open(&stream_options) : nullptr);
    if (!stream && options.wants_tcp() && !screen)
        say(std::string("no connection stream (") + std::strerror(errno) +
            "): only connections that live across a look are counted");

    TrafficLedger ledger;
    const auto look = [&]() -> bool {
        const TakenSnapshot taken(selection);
        if (taken.error() != 0) return false;
        ledger.look(live_connections(taken, grouping), stream != nullptr);
        return true;
    };
    std::uint64_t lost = 0;
    const auto read_stream = [&]() -> bool {
        constexpr std::size_t batch_size = 4096;
        for (bool full = true; full;) {
            const std::unique_ptr<sockscope_connections, BatchFreer> batch(sockscope_stream_read(stream.get(), batch_size));
            if (!batch) return false;
            full = batch->count == batch_size;
            lost += batch->lost;
            ConnectionChange change;
            for (std::size_t i = 0; i < batch->count; ++i)
                if (connection_change(*sockscope_connection_at(batch.get(), i), grouping, change))
                    ledger.change(change);
        }
        return true;
    };
    const auto failed = [&](const char* what, int error) {
        say(std::string(what) + ": " + std::strerror(error));
        return 1;
    };

    // Each look's time is when it starts: the rates divide by the time
    // between two starts.
    auto looked = std::chrono::steady_clock::now();
    if (!look()) return failed("cannot read the sockets", errno);
    std::unique_ptr<LiveScreen> live;
    if (screen) live = std::make_unique<LiveScreen>(interrupts);
    if (screen) interrupts.write(STDOUT_FILENO, "\x1b[H\x1b[2Jsockscope --top: the first look is taken\r\n");

    auto before = ledger.totals();
    auto deadline = looked + options.interval;
    for (;;) {
        pollfd waits[2] = {{stream ? sockscope_stream_fd(stream.get()) : -1, POLLIN, 0},
                           {live && live->reads_keys() ? STDIN_FILENO : -1, POLLIN, 0}};
        if (!interrupts.wait_any(waits, 2, deadline)) break;
        if (waits[1].revents != 0) {
            char keys[64];
            const ssize_t got = read(STDIN_FILENO, keys, sizeof keys);
            if (got <= 0) break;
            if (std::memchr(keys, 'q', static_cast<std::size_t>(got)) || std::memchr(keys, 'Q', static_cast<std::size_t>(got)) ||
                std::memchr(keys, 3, static_cast<std::size_t>(got)) || std::memchr(keys, 4, static_cast<std::size_t>(got)))
                break;
        }
        if (waits[0].revents != 0 && !read_stream()) {
            live.reset();
            return failed("cannot read the connection stream", errno);
        }
        const auto at = std::chrono::steady_clock::now();
        if (at < deadline) continue;
        // The last records before the look, then the look.
        if (stream && !read_stream()) {
            live.reset();
            return failed("cannot read the connection stream", errno);
        }
        if (!look()) {
            const int error = errno;
            live.reset();
            return failed("cannot read the sockets", error);
        }
        TopFrame frame;
        frame.grouping = grouping;
        frame.interval = options.interval;
        frame.seconds = std::chrono::duration<double>(at - looked).count();
        frame.stream = stream != nullptr;
        frame.lost = lost;
        lost = 0;
        frame.rates = traffic_rates(before, ledger.totals(), frame.seconds);
        sort_busiest_first(frame.rates);
        // Owners with nothing open and nothing done are left out, and
        // forgotten.
        std::erase_if(frame.rates, [&](const TrafficRates& r) {
            const bool idle = r.open == 0 && r.opened == 0 && r.closed == 0 && r.bytes_sent == 0 && r.bytes_received == 0;
            if (idle) ledger.forget(r.key);
            return idle;
        });
        before = ledger.totals();
        looked = at;
        // Every interval from the first look; a look slower than that
        // makes the next one wait a whole interval after it.
        deadline += options.interval;
        if (const auto done = std::chrono::steady_clock::now(); deadline < done) deadline = done + options.interval;

        const auto wall = std::chrono::system_clock::now();
        std::string out;
        if (screen) {
            winsize size{};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) size = {24, 80, 0, 0};
            out = "\x1b[H\x1b[2J" + top_screen(frame, local_clock(wall), size.ws_row, size.ws_col);
            // The last line without its line end: the screen does not scroll.
            if (out.size() >= 2) out.resize(out.size() - 2);
        } else {
            out = top_json_line(frame, utc_time(wall));
        }
        if (const int error = interrupts.write(STDOUT_FILENO, out); error != 0) {
            if (interrupts.stop_requested()) break;
            live.reset();
            return failed("cannot write the output", error);
        }
    }
    return 0;
}

} // namespace sockscope_tool
