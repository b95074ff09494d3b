// SPDX-License-Identifier: MIT
#include "event_stream.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>
#include <unistd.h>

#include <sockscope/connections.h>
#include <sockscope_text/output.h>

#include "event_filter.h"
#include "event_output.h"
#include "interrupts.h"

namespace sockscope_tool {
namespace {

using sockscope_text::report_error;

constexpr const char* program = "sockscope";
// Records taken in one read, and how long they may gather after the
// descriptor becomes readable: a read per record would cost the machine
// far more than the few milliseconds a person can't see.
constexpr std::size_t batch_size = 4096;
constexpr std::chrono::milliseconds gathering{10};

struct StreamCloser {
    void operator()(sockscope_stream* stream) const { sockscope_stream_close(stream); }
};
struct BatchFreer {
    void operator()(sockscope_connections* batch) const { sockscope_connections_free(batch); }
};

int open_failed(int error) {
    if (error == EPERM)
        report_error(program, "--events needs CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN (root has them)", 0);
    else if (error == ENOTSUP)
        report_error(program, "--events needs libbpf.so.1 and a kernel with BTF", 0);
    else
        report_error(program, "cannot open the connection stream", error);
    return 1;
}

void print_hooks(const sockscope_stream* stream) {
    sockscope_stream_info info = SOCKSCOPE_STREAM_INFO_INIT;
    if (sockscope_stream_get_info(stream, &info) != 0) {
        report_error(program, "cannot read the stream's hooks", errno);
        return;
    }
    std::string text = "hooks: state changes from ";
    text += info.state_hook != nullptr ? info.state_hook : "?";
    text += ", accepts from ";
    text += info.accept_hook != nullptr ? info.accept_hook : "?";
    if (const int refused = info.accept_function_refused; refused != 0) {
        const char* name = strerrorname_np(refused);
        text += " (the kernel refused fexit/inet_csk_accept: ";
        text += name != nullptr ? name : std::to_string(refused);
        text += ')';
    }
    report_error(program, text, 0);
}

// At the end: sockets the stream's table had no room for, whose records
// lack their opening and owner (never hidden); with --debug, every counter.
void print_counters(const sockscope_stream* stream, bool debug) {
    sockscope_stream_info info = SOCKSCOPE_STREAM_INFO_INIT;
    if (sockscope_stream_get_info(stream, &info) != 0) return;
    if (debug)
        report_error(program,
                     "counters: " + std::to_string(info.lost) + " lost (" + std::to_string(info.lost_for_room) +
                         " for room, " + std::to_string(info.lost_unseen) + " unseen), " +
                         std::to_string(info.untracked) + " untracked",
                     0);
    if (info.untracked != 0)
        report_error(program,
                     "note: the table of followed sockets was full " + std::to_string(info.untracked) +
                         " times: records of the sockets it missed lack their opening and maybe their owner "
                         "(--tracked raises its size)",
                     0);
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + (count == 1 ? one : many);
}

} // namespace

int run_events(const Options& options, bool terminal) {
    std::string error;
    const std::uint64_t network_namespace = namespace_to_show(options, error);
    if (!error.empty()) {
        report_error(program, error, 0);
        return 1;
    }
    const EventFilter filter(options, network_namespace);

    // Held from here: a Ctrl-C while the programs load ends the run once
    // the stream is open, as cleanly as one later.
    Interrupts interrupts;
    sockscope_stream_options stream_options = SOCKSCOPE_STREAM_OPTIONS_INIT;
    if (options.opens) stream_options.flags |= SOCKSCOPE_STREAM_OPENS;
    stream_options.tracked_sockets = options.tracked;
    const std::unique_ptr<sockscope_stream, StreamCloser> stream(sockscope_stream_open(&stream_options));
    if (!stream) return open_failed(errno);
    if (options.debug) print_hooks(stream.get());

    std::uint64_t seen = 0, lost = 0;
    const auto summary = [&] {
        print_counters(stream.get(), options.debug);
        report_error(program,
                     counted(seen, " connection seen, ", " connections seen, ") + std::to_string(lost) + " lost", 0);
        return 0;
    };
    std::string out;
    if (terminal && !options.json) append_event_header(out);
    const int fd = sockscope_stream_fd(stream.get());
    for (bool full = false;;) {
        if (!out.empty()) {
            if (const int failed = interrupts.write(STDOUT_FILENO, out); failed != 0) {
                if (interrupts.stop_requested()) return summary();
                report_error(program, "cannot write the output", failed);
                return 1;
            }
            out.clear();
        }
        // After a full batch more are waiting: read on at once.
        if (!full && (!interrupts.wait_readable(fd) ||
                      !interrupts.wait_until(std::chrono::steady_clock::now() + gathering)))
            return summary();
        const std::unique_ptr<sockscope_connections, BatchFreer> batch(sockscope_stream_read(stream.get(), batch_size));
        if (!batch) {
            report_error(program, "cannot read the connection stream", errno);
            return 1;
        }
        full = batch->count == batch_size;
        if (batch->lost != 0) {
            lost += batch->lost;
            report_error(program, "note: " + counted(batch->lost, " record", " records") + " lost (the reader fell behind)",
                         0);
        }
        for (std::size_t i = 0; i < batch->count; ++i) {
            const sockscope_connection& record = *sockscope_connection_at(batch.get(), i);
            if (!filter.passes(record)) continue;
            if (record.kind == SOCKSCOPE_CONNECTION_CLOSED) ++seen;
            if (options.json)
                append_event_json(out, record);
            else
                append_event_line(out, record, terminal);
        }
        if (interrupts.stop_requested()) {
            interrupts.write(STDOUT_FILENO, out);
            return summary();
        }
    }
}

} // namespace sockscope_tool
