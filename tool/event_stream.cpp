// SPDX-License-Identifier: MIT
#include "event_stream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <sockscope/connections.h>
#include <sockscope_text/output.h>

#include "event_filter.h"
#include "event_output.h"
#include "interrupts.h"
#include "library_handles.h"

namespace sockscope_tool {
namespace {

using sockscope_text::report_error;

constexpr const char* program = "sockscope";
// Records taken in one read, and how long they may gather after the
// descriptor becomes readable: a read per record would cost the machine
// far more than the few milliseconds a person can't see.
constexpr std::size_t batch_size = 4096;
constexpr std::chrono::milliseconds gathering{10};
// After a stop: how long the output may take nothing before the tool gives
// up writing, and how many batches it counts in the kernel's buffer.
constexpr std::chrono::milliseconds output_stall{1000};
constexpr int most_reads_after_stop = 256;


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
    const std::string_view hook = info.accept_hook != nullptr ? info.accept_hook : "";
    if (hook == "tp_btf/sys_exit")
        text += "; every system call of every process on the machine runs it (a getppid() loop ran 1.5x slower here)";
    else if (hook == "none")
        text += "; an accepted connection's owner is its listener's, unless a close call on it names its own "
                "(--exact-accepts: accept's own, at a cost to every system call)";
    else if (hook != "fexit/inet_csk_accept")
        text += "; an accepted connection's owner is its first sender or receiver, before that its listener's "
                "(--exact-accepts: accept's own, at a cost to every system call)";
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

// What became of the records that passed the filters: written; read and
// not written (the output stayed blocked after a stop); or left in the
// kernel's buffer when the tool stopped. Every one is one of these.
struct Tally {
    std::uint64_t seen = 0; // closed connections among those read
    std::uint64_t lost = 0;
    std::uint64_t written = 0, unwritten = 0, in_ring = 0;
};

// Output not yet written, and where each record's text ends in it.
struct Pending {
    std::string out;
    std::vector<std::size_t> record_ends;

    // Drops the first `bytes` of the output, written; returns the records
    // that are now wholly written.
    std::uint64_t take(std::size_t bytes) {
        out.erase(0, bytes);
        const auto done = std::upper_bound(record_ends.begin(), record_ends.end(), bytes) - record_ends.begin();
        record_ends.erase(record_ends.begin(), record_ends.begin() + done);
        for (std::size_t& end : record_ends) end -= bytes;
        return static_cast<std::uint64_t>(done);
    }
};

void note_lost(Tally& tally, std::uint64_t lost) {
    if (lost == 0) return;
    tally.lost += lost;
    report_error(program, "note: " + counted(lost, " record", " records") + " lost (the reader fell behind)", 0);
}

// Reads what waits in the kernel's buffer now, counting the records that
// pass the filters (a busy machine keeps adding: reads what was there at
// most, a batch at a time).
void count_left_in_ring(sockscope_stream* stream, const EventFilter& filter, Tally& tally) {
    for (int reads = 0; reads < most_reads_after_stop; ++reads) {
        const std::unique_ptr<sockscope_connections, BatchFreer> batch(sockscope_stream_read(stream, batch_size));
        if (!batch) {
            report_error(program, "cannot count the records left in the connection stream", errno);
            return;
        }
        note_lost(tally, batch->lost);
        for (std::size_t i = 0; i < batch->count; ++i)
            if (filter.passes(*sockscope_connection_at(batch.get(), i))) ++tally.in_ring;
        if (batch->count < batch_size) return;
    }
}

// "N connections seen, M lost; R records: W written, U read and not
// written, K left in the kernel's buffer"
std::string summary(const Tally& tally) {
    return counted(tally.seen, " connection seen, ", " connections seen, ") + std::to_string(tally.lost) + " lost; " +
           counted(tally.written + tally.unwritten + tally.in_ring, " record: ", " records: ") +
           std::to_string(tally.written) + " written, " + std::to_string(tally.unwritten) + " read and not written, " +
           std::to_string(tally.in_ring) + " left in the kernel's buffer";
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
    if (options.exact_accepts) stream_options.flags |= SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT;
    stream_options.tracked_sockets = options.tracked;
    const std::unique_ptr<sockscope_stream, StreamCloser> stream(sockscope_stream_open(&stream_options));
    if (!stream) return open_failed(errno);
    if (options.debug) print_hooks(stream.get());

    Tally tally;
    Pending pending;
    if (terminal && !options.json) append_event_header(pending.out);
    const int fd = sockscope_stream_fd(stream.get());
    for (bool full = false;;) {
        if (!pending.out.empty()) {
            std::size_t written = 0;
            const int failed = interrupts.write(STDOUT_FILENO, pending.out, &written);
            tally.written += pending.take(written);
            if (failed != 0 && interrupts.stop_requested()) break;
            if (failed != 0) {
                report_error(program, "cannot write the output", failed);
                return 1;
            }
        }
        // After a full batch more are waiting: read on at once.
        if (!full && (!interrupts.wait_readable(fd) ||
                      !interrupts.wait_until(std::chrono::steady_clock::now() + gathering)))
            break;
        const std::unique_ptr<sockscope_connections, BatchFreer> batch(sockscope_stream_read(stream.get(), batch_size));
        if (!batch) {
            report_error(program, "cannot read the connection stream", errno);
            return 1;
        }
        full = batch->count == batch_size;
        note_lost(tally, batch->lost);
        for (std::size_t i = 0; i < batch->count; ++i) {
            const sockscope_connection& record = *sockscope_connection_at(batch.get(), i);
            if (!filter.passes(record)) continue;
            if (record.kind == SOCKSCOPE_CONNECTION_CLOSED) ++tally.seen;
            if (options.json)
                append_event_json(pending.out, record);
            else
                append_event_line(pending.out, record, terminal);
            pending.record_ends.push_back(pending.out.size());
        }
        if (interrupts.stop_requested()) break;
    }
    // Stopped: what was read is written while the output takes it, and
    // the records still in the kernel's buffer are counted, not written.
    std::size_t written = 0;
    interrupts.write_unless_stalled(STDOUT_FILENO, pending.out, output_stall, written);
    tally.written += pending.take(written);
    tally.unwritten = pending.record_ends.size();
    count_left_in_ring(stream.get(), filter, tally);
    print_counters(stream.get(), options.debug);
    report_error(program, summary(tally), 0);
    return 0;
}

} // namespace sockscope_tool
