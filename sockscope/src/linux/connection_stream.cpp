// SPDX-License-Identifier: MIT
#include "linux/connection_stream.h"

#include <cerrno>
#include <ctime>
#include <linux/capability.h>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/bpf_connection_event.h"
#include "linux/bpf_ring_buffer.h"
#include "linux/connections_loader.h"
#include "linux/kernel_btf.h"
#include "linux/libbpf_library.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

constexpr std::size_t default_buffer_bytes = std::size_t{2} << 20;
constexpr std::size_t largest_buffer_bytes = std::size_t{1} << 30;
constexpr std::uint32_t default_tracked_sockets = 32768;
constexpr std::uint32_t most_tracked_sockets = std::uint32_t{1} << 22;
// The inode number of the initial user namespace (PROC_USER_INIT_INO).
constexpr ino_t initial_user_namespace = 0xEFFFFFFDu;

// The programs and hooks, as named in connections.bpf.c.
// The state programs, and the pair loaded in their place that also marks
// accepted sockets for the first-call programs.
constexpr const char* state_program = "state_changed";
constexpr const char* skipped_state_program = "state_changed_skipped";
constexpr const char* marking_state_program = "state_changed_marking";
constexpr const char* marking_skipped_state_program = "state_changed_skipped_marking";
constexpr const char* accept_function_program = "accept_returned_function";
constexpr const char* accept_syscall_program = "accept_returned_syscall";
constexpr const char* first_call_programs[] = {"first_sent", "first_received"};
constexpr const char* snapshot_program = "snapshot";
constexpr const char* state_hook = "tp_btf/inet_sock_set_state";
constexpr const char* accept_function_hook = "fexit/inet_csk_accept";
constexpr const char* accept_syscall_hook = "tp_btf/sys_exit";
constexpr const char* first_call_hook = "tp_btf/sock_send_length+sock_recv_length";
constexpr const char* listener_only_hook = "none";

// The kernel takes CAP_BPF with CAP_PERFMON, or CAP_SYS_ADMIN, for tracing
// programs, and only in the initial user namespace: a process in another
// one has capabilities there that count for nothing here.
bool privileged() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    const auto has = [&sets](int capability) {
        return (sets[capability / 32].effective & (1u << (capability % 32))) != 0;
    };
    if (!has(CAP_SYS_ADMIN) && !(has(CAP_BPF) && has(CAP_PERFMON))) return false;
    // Without /proc the kernel's own refusal tells.
    struct stat user_namespace;
    return ::stat("/proc/self/ns/user", &user_namespace) != 0 || user_namespace.st_ino == initial_user_namespace;
}

// The ring buffer's size: a power of two pages, at least `bytes`.
std::size_t ring_size(std::size_t bytes, std::size_t page) {
    std::size_t size = page;
    while (size < bytes) size *= 2;
    return size;
}

std::int64_t realtime_offset_ns() {
    timespec realtime{}, monotonic{};
    ::clock_gettime(CLOCK_REALTIME, &realtime);
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return (static_cast<std::int64_t>(realtime.tv_sec) - monotonic.tv_sec) * 1000000000 +
           (realtime.tv_nsec - monotonic.tv_nsec);
}

// A step's failure: the errno of the call that failed, or EIO where it set
// none (which the public functions answer for it too).
Failure failed(int error) { return Failure{error != 0 ? error : EIO}; }

// Runs the snapshot program once: it gives the sockets open now their
// holders as owners, and writes nothing.
Result<void> take_snapshot(const LibbpfFunctions& f, bpf_object* object) {
    bpf_program* program = f.find_program_by_name(object, snapshot_program);
    bpf_link* link = program != nullptr ? f.attach_iter(program, nullptr) : nullptr;
    if (link == nullptr) return failed(errno);
    const UniqueFd iterator(f.iter_create(f.link_fd(link)));
    Result<void> done = iterator.valid() ? Result<void>() : failed(errno);
    // One read walks every task; a very long walk stops with EAGAIN and
    // the next read goes on from there.
    char ignored[64];
    while (done) {
        const ssize_t got = ::read(iterator.get(), ignored, sizeof ignored);
        if (got == 0) break;
        if (got < 0 && errno != EINTR && errno != EAGAIN) done = failed(errno);
    }
    f.link_destroy(link);
    return done;
}

} // namespace

struct ConnectionStream {
    std::unique_ptr<LibbpfLibrary> libbpf;
    bpf_object* object = nullptr;
    UniqueFd state_link;
    UniqueFd skipped_link;
    UniqueFd accept_links[3];
    connection_stream_shared* shared = nullptr; // one mapped page
    std::size_t page = 0;
    std::unique_ptr<BpfRingBuffer> ring;
    int ring_fd = -1;
    int program_fds[3] = {-1, -1, -1}; // accept, state, skipped state: owned by the object
    AcceptHook accept = AcceptHook::function;
    bool first_calls_traced = false;
    int accept_function_refused = 0;
    bool loaded_by_libbpf = false;
    std::uint64_t malformed = 0;     // events that were not whole records
    std::uint64_t lost_reported = 0; // lost() at the last read

    // Records dropped for want of room, events that were not records, and
    // state changes that no program saw: the kernel skips a program on a
    // CPU where it is running already (an interrupt breaking into it), and
    // the second state program sees most of those in its place (see
    // connections.bpf.c). A skipped state change may have been a close.
    std::uint64_t lost() const { return lost_for_room() + malformed + lost_unseen(); }

    std::uint64_t lost_for_room() const { return __atomic_load_n(&shared->lost, __ATOMIC_RELAXED); }

    std::uint64_t lost_unseen() const {
        const std::uint64_t seen_in_place = __atomic_load_n(&shared->skipped_seen, __ATOMIC_RELAXED);
        const std::uint64_t state_skipped = recursion_misses(program_fds[1]);
        return (state_skipped > seen_in_place ? state_skipped - seen_in_place : 0) + recursion_misses(program_fds[0]);
    }

    std::uint64_t recursion_misses(int program) const {
        bpf_prog_info about{};
        __u32 size = sizeof about;
        return program >= 0 && libbpf->functions().object_info(program, &about, &size) == 0 ? about.recursion_misses : 0;
    }

    ConnectionStream() = default;
    ConnectionStream(const ConnectionStream&) = delete;
    ConnectionStream& operator=(const ConnectionStream&) = delete;
    ~ConnectionStream() {
        if (!libbpf) return;
        const LibbpfFunctions& f = libbpf->functions();
        for (UniqueFd& link : accept_links) link.reset();
        state_link.reset();
        skipped_link.reset();
        ring.reset();
        if (shared != nullptr) ::munmap(shared, page);
        if (object != nullptr) f.object_close(object);
    }

    Result<void> start(const ConnectionStreamOptions& options, ino_t reader_pid_namespace, const KernelBtf& kernel);
    Result<void> load_with_accepts(AcceptHook hook, std::uint32_t ring_bytes, std::uint32_t tracked,
                                   const KernelBtf& kernel);
};

// Loads the object for accepts seen at `hook` and attaches its accept
// programs; the errno the kernel refused with, and nothing kept, when it
// refuses.
Result<void> ConnectionStream::load_with_accepts(AcceptHook hook, std::uint32_t ring_bytes, std::uint32_t tracked,
                                                 const KernelBtf& kernel) {
    const LibbpfFunctions& f = libbpf->functions();
    const Result<bpf_object*> loaded =
        load_connections(f, kernel, {hook, first_calls_traced, ring_bytes, tracked}, loaded_by_libbpf);
    if (!loaded) return failed(loaded.error());
    object = *loaded;
    Result<void> attached;
    std::size_t links = 0;
    const auto attach = [&](const char* name) -> const bpf_program* {
        if (!attached) return nullptr;
        const bpf_program* program = f.find_program_by_name(object, name);
        Result<UniqueFd> link = program != nullptr ? attach_connections_program(f, program) : failed(errno);
        if (link)
            accept_links[links++] = std::move(*link);
        else
            attached = failed(link.error());
        return program;
    };
    if (hook == AcceptHook::function || hook == AcceptHook::syscall) {
        // Its recursion misses are accepts no program saw: counted lost.
        const bpf_program* program =
            attach(hook == AcceptHook::function ? accept_function_program : accept_syscall_program);
        if (attached) program_fds[0] = f.program_fd(program);
    } else if (first_calls_traced) {
        for (const char* name : first_call_programs) attach(name);
    }
    if (attached) {
        accept = hook;
        return attached;
    }
    for (UniqueFd& link : accept_links) link.reset();
    f.object_close(object);
    object = nullptr;
    return attached;
}

Result<void> ConnectionStream::start(const ConnectionStreamOptions& options, ino_t reader_pid_namespace,
                                     const KernelBtf& kernel) {
    const LibbpfFunctions& f = libbpf->functions();
    const QuietLibbpf quiet(f);
    page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t ring_bytes = ring_size(options.buffer_bytes != 0 ? options.buffer_bytes : default_buffer_bytes, page);
    const std::uint32_t tracked = options.tracked_sockets != 0 ? options.tracked_sockets : default_tracked_sockets;

    // Accepts at the accept path's function's exit where the kernel takes
    // a program there; where it refuses to load or attach it, at the
    // accepted socket's first send or receive, or at every system call's
    // exit when the caller asks (exact, but a tax on every process). The
    // accept programs are attached first, to find out: they do nothing
    // until the state program fills the table.
    accept_function_refused = function_exits_refused(f, kernel);
    first_calls_traced = sockscope_detail::first_calls_traced(kernel);
    const auto ring_bytes32 = static_cast<std::uint32_t>(ring_bytes);
    Result<void> loaded = accept_function_refused == 0
                              ? load_with_accepts(AcceptHook::function, ring_bytes32, tracked, kernel)
                              : Result<void>(Failure{accept_function_refused});
    if (!loaded && accept_function_refused == 0) accept_function_refused = loaded.error();
    if (!loaded)
        loaded = load_with_accepts(options.accept_at_syscall_exit ? AcceptHook::syscall : AcceptHook::calls,
                                   ring_bytes32, tracked, kernel);
    if (!loaded) return loaded;

    const int shared_fd = f.find_map_fd_by_name(object, "shared");
    ring_fd = f.find_map_fd_by_name(object, "events");
    if (shared_fd < 0 || ring_fd < 0) return failed(errno);
    void* block = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, shared_fd, 0);
    if (block == MAP_FAILED) return failed(errno);
    shared = static_cast<connection_stream_shared*>(block);
    shared->reader_pid_namespace = static_cast<unsigned>(reader_pid_namespace);
    shared->report_opens = options.report_opens ? 1 : 0;
    shared->accepts_seen = accept == AcceptHook::calls ? 0 : 1;
    Result<std::unique_ptr<BpfRingBuffer>> mapped = BpfRingBuffer::map(ring_fd, ring_bytes);
    if (!mapped) return failed(mapped.error());
    ring = std::move(*mapped);

    // The state program first: the one for state changes it is kept from
    // seeing must run after it (see connections.bpf.c).
    const bool marking = accept == AcceptHook::calls && first_calls_traced;
    bpf_program* state = f.find_program_by_name(object, marking ? marking_state_program : state_program);
    bpf_program* skipped =
        f.find_program_by_name(object, marking ? marking_skipped_state_program : skipped_state_program);
    if (state == nullptr || skipped == nullptr) return Failure{ENOENT};
    Result<UniqueFd> link = attach_connections_program(f, state);
    if (!link) return failed(link.error());
    state_link = std::move(*link);
    program_fds[1] = f.program_fd(state);
    link = attach_connections_program(f, skipped);
    if (!link) return failed(link.error());
    skipped_link = std::move(*link);
    program_fds[2] = f.program_fd(skipped);
    return take_snapshot(f, object);
}

Result<ConnectionStream*> open_connection_stream(const ConnectionStreamOptions& options) noexcept {
    if (options.buffer_bytes > largest_buffer_bytes || options.tracked_sockets > most_tracked_sockets)
        return Failure{EINVAL};
    if (!privileged()) return Failure{EPERM};
    struct stat pid_namespace;
    if (::stat("/proc/self/ns/pid", &pid_namespace) != 0) return Failure{errno};
    std::unique_ptr<KernelBtf> kernel;
    try {
        Result<std::unique_ptr<KernelBtf>> loaded = KernelBtf::load();
        if (!loaded) return loaded.failure();
        kernel = std::move(*loaded);
    } catch (const std::bad_alloc&) {
        return Failure{ENOMEM};
    }
    std::unique_ptr<ConnectionStream> stream(new (std::nothrow) ConnectionStream);
    if (!stream) return Failure{ENOMEM};
    Result<std::unique_ptr<LibbpfLibrary>> library = LibbpfLibrary::open(libbpf_file);
    // No memory is the caller's failure; any other is libbpf missing or unusable.
    if (!library) return Failure{library.error() == ENOMEM ? ENOMEM : ENOTSUP};
    stream->libbpf = std::move(*library);
    const Result<void> started = stream->start(options, pid_namespace.st_ino, *kernel);
    if (!started) return started.failure();
    return stream.release();
}

Result<int> connection_stream_fd(const ConnectionStream* stream) noexcept {
    if (stream == nullptr) return Failure{EINVAL};
    return stream->ring_fd;
}

Result<std::size_t> read_connection_records(ConnectionStream* stream, ConnectionRecord* records,
                                            std::size_t capacity, std::uint64_t* lost) noexcept {
    if (stream == nullptr || lost == nullptr || (records == nullptr && capacity != 0)) return Failure{EINVAL};
    const std::int64_t offset = realtime_offset_ns();
    std::size_t count = 0;
    for (;;) {
        while (count < capacity) {
            const std::span<const std::byte> event = stream->ring->front();
            if (event.empty()) break;
            if (decode_connection_event(event, offset, records[count]))
                ++count;
            else
                ++stream->malformed;
            stream->ring->pop();
        }
        stream->ring->give_back();
        // The kernel wakes a reader when a record lands where the reader
        // stands; one that landed while this read held the room back woke
        // no one, and is taken now where there is room.
        if (count == capacity || stream->ring->front().empty()) break;
    }
    const std::uint64_t dropped = stream->lost();
    *lost = dropped - stream->lost_reported;
    stream->lost_reported = dropped;
    return count;
}

void close_connection_stream(ConnectionStream* stream) noexcept { delete stream; }

Result<ConnectionStreamDebug> connection_stream_debug(const ConnectionStream* stream) noexcept {
    if (stream == nullptr) return Failure{EINVAL};
    ConnectionStreamDebug debug{};
    debug.state_hook = state_hook;
    switch (stream->accept) {
    case AcceptHook::function: debug.accept_hook = accept_function_hook; break;
    case AcceptHook::syscall: debug.accept_hook = accept_syscall_hook; break;
    case AcceptHook::calls:
        debug.accept_hook = stream->first_calls_traced ? first_call_hook : listener_only_hook;
        break;
    }
    debug.accept_function_refused = stream->accept_function_refused;
    debug.loaded_by_libbpf = stream->loaded_by_libbpf;
    debug.lost = stream->lost();
    debug.lost_for_room = stream->lost_for_room();
    debug.lost_unseen = stream->lost_unseen();
    debug.untracked = __atomic_load_n(&stream->shared->untracked, __ATOMIC_RELAXED);
    return debug;
}

} // namespace sockscope_detail
