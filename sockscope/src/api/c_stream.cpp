// SPDX-License-Identifier: MIT
// The C interface's connection stream (<sockscope/connections.h>): the
// stream of linux/connection_stream.h, with each batch's owners' cgroup
// paths and namespaces' names looked up as it is read, and made into one
// block on the C heap.
#include <sockscope/connections.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/call_boundary.h"
#include "api/system_sources_now.h"
#include "core/connection_batches.h"
#include "core/tcp_state.h"
#include "linux/cgroup_paths.h"
#include "linux/connection_stream.h"
#include "linux/network_namespaces.h"

using namespace sockscope_detail;

struct sockscope_stream {
    ConnectionStream* stream = nullptr;
    CgroupPaths cgroups;
    // Records taken from the kernel's buffer and not yet handed out, in
    // records[0, pending), with the count of records lost before them: a
    // read that fails after taking them keeps them for the next.
    std::vector<ConnectionRecord> records; // reused from read to read
    std::size_t pending = 0;
    std::uint64_t pending_lost = 0;

    ~sockscope_stream() { close_connection_stream(stream); }
};

namespace {

constexpr std::size_t most_records_a_read = 65536;

bool only_zeros(const unsigned char* bytes, std::size_t count) {
    return std::all_of(bytes, bytes + count, [](unsigned char byte) { return byte == 0; });
}

Result<ConnectionStreamOptions> options_for(const sockscope_stream_options* given) {
    sockscope_stream_options asked = SOCKSCOPE_STREAM_OPTIONS_INIT;
    if (given != nullptr) {
        if (given->size < sizeof asked) return Failure{EINVAL};
        const auto* bytes = reinterpret_cast<const unsigned char*>(given);
        if (!only_zeros(bytes + sizeof asked, given->size - sizeof asked)) return Failure{EINVAL};
        std::memcpy(&asked, given, sizeof asked);
    }
    if ((asked.flags & ~(SOCKSCOPE_STREAM_OPENS | SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT)) != 0)
        return Failure{EINVAL};
    ConnectionStreamOptions options;
    options.report_opens = (asked.flags & SOCKSCOPE_STREAM_OPENS) != 0;
    options.accept_at_syscall_exit = (asked.flags & SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT) != 0;
    options.buffer_bytes = asked.buffer_bytes;
    options.tracked_sockets = asked.tracked_sockets;
    return options;
}

// The cgroup paths and namespace names of a batch's records.
Result<ConnectionLookups> look_up(std::span<const ConnectionRecord> records, const CgroupPaths& cgroups) {
    ConnectionLookups lookups;
    for (const ConnectionRecord& record : records) {
        if (record.cgroup == 0 || lookups.cgroup_paths.contains(record.cgroup)) continue;
        Result<std::string> path = cgroups.path_of(record.cgroup, record.pid);
        if (!path) return path.failure();
        // The unified hierarchy's path, as the snapshot's owners have it
        // from /proc/<pid>/cgroup's unified line: both name one container.
        Result<PlacedContainer> container = cgroups.container_of(*path, true);
        if (!container) return container.failure();
        lookups.containers.emplace(record.cgroup, std::move(container).value());
        // An empty path is remembered too, so that it is looked for once.
        lookups.cgroup_paths.emplace(record.cgroup, std::move(path).value());
    }
    std::erase_if(lookups.cgroup_paths, [](const auto& entry) { return entry.second.empty(); });
    if (!records.empty()) {
        Result<std::vector<NetworkNamespace>> named = named_network_namespaces(system_sources_now().netns_folder);
        if (!named) return named.failure();
        for (NetworkNamespace& ns : *named) lookups.namespace_names.emplace(ns.inode, std::move(ns.name));
    }
    return lookups;
}

} // namespace

extern "C" sockscope_stream* sockscope_stream_open(const sockscope_stream_options* given) {
    return answer_or_fail<sockscope_stream*>(nullptr, [given]() -> Result<sockscope_stream*> {
        const Result<ConnectionStreamOptions> options = options_for(given);
        if (!options) return options.failure();
        Result<CgroupPaths> cgroups = CgroupPaths::open();
        if (!cgroups) return cgroups.failure();
        auto opened = std::make_unique<sockscope_stream>();
        opened->cgroups = std::move(cgroups).value();
        const Result<ConnectionStream*> stream = open_connection_stream(*options);
        if (!stream) return stream.failure();
        opened->stream = *stream;
        return opened.release();
    });
}

extern "C" int sockscope_stream_fd(const sockscope_stream* stream) {
    return answer_or_fail<int>(-1, [stream]() -> Result<int> {
        if (stream == nullptr) return Failure{EINVAL};
        return connection_stream_fd(stream->stream);
    });
}

extern "C" sockscope_connections* sockscope_stream_read(sockscope_stream* stream, std::size_t max_count) {
    return answer_or_fail<sockscope_connections*>(nullptr, [&]() -> Result<sockscope_connections*> {
        if (stream == nullptr || max_count == 0) return Failure{EINVAL};
        std::vector<ConnectionRecord>& records = stream->records;
        const std::size_t wanted = std::min(max_count, most_records_a_read);
        if (stream->pending == 0) {
            records.resize(wanted);
            std::uint64_t lost = 0;
            const Result<std::size_t> count = read_connection_records(stream->stream, records.data(), wanted, &lost);
            if (!count) return count.failure();
            stream->pending = *count;
            stream->pending_lost += lost;
        }
        // Taken from the kernel's buffer now: kept until a batch carries them.
        const std::span<const ConnectionRecord> read(records.data(), std::min(stream->pending, wanted));
        const Result<ConnectionLookups> lookups = look_up(read, stream->cgroups);
        if (!lookups) return lookups.failure();
        sockscope_connections* batch = make_connection_batch(read, stream->pending_lost, *lookups);
        records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(read.size()));
        stream->pending -= read.size();
        stream->pending_lost = 0;
        return batch;
    });
}

extern "C" void sockscope_connections_free(sockscope_connections* connections) { std::free(connections); }

extern "C" void sockscope_stream_close(sockscope_stream* stream) { delete stream; }

extern "C" int sockscope_stream_get_info(const sockscope_stream* stream, sockscope_stream_info* info) {
    return answer_or_fail<int>(-1, [&]() -> Result<int> {
        if (stream == nullptr || info == nullptr || info->size < sizeof(sockscope_stream_info)) return Failure{EINVAL};
        const Result<ConnectionStreamDebug> debug = connection_stream_debug(stream->stream);
        if (!debug) return debug.failure();
        const std::size_t size = info->size;
        std::memset(info, 0, size);
        info->size = sizeof(sockscope_stream_info);
        info->state_hook = debug->state_hook;
        info->accept_hook = debug->accept_hook;
        info->accept_function_refused = debug->accept_function_refused;
        info->lost = debug->lost;
        info->lost_for_room = debug->lost_for_room;
        info->lost_unseen = debug->lost_unseen;
        info->untracked = debug->untracked;
        return 0;
    });
}

extern "C" const char* sockscope_state_name(int protocol, int state) {
    const bool tcp = protocol == 6;
    if ((!tcp && protocol != 17) || state < 1 || state > 12) return nullptr;
    const std::uint32_t listed = tcp ? tcp_listed_states : udp_listed_states;
    if ((listed & (1u << state)) == 0) return nullptr;
    return kernel_state_name(tcp, static_cast<std::uint8_t>(state));
}
