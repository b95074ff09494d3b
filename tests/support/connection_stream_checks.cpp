// SPDX-License-Identifier: MIT
#include "connection_stream_checks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"
#include "forked_child.h"
#include "isolated_child.h"

namespace sockscope_test {

using namespace sockscope_detail;

Stream open_stream(const ConnectionStreamOptions& options, std::string& why_not) {
    const Result<ConnectionStream*> opened = open_connection_stream(options);
    if (opened) return Stream(*opened);
    const int error = opened.error();
    if (!SOCKSCOPE_TEST_BPF_BUILT)
        why_not = "skip: the library was built without BPF support";
    else if (error == ENOTSUP)
        why_not = "skip: no libbpf.so.1 or no kernel BTF";
    else if (error == EPERM)
        why_not = geteuid() != 0 ? "skip: not root" : "skip: the kernel refuses the programs (EPERM)";
    else
        why_not = std::string("opening the stream failed: ") + std::strerror(error);
    return {};
}

Records read_until(ConnectionStream* stream, const std::function<bool(const Records&)>& enough, std::uint64_t* lost) {
    Records records;
    ConnectionRecord batch[256];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!enough(records)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const Result<int> fd = connection_stream_fd(stream);
        if (!fd) break;
        pollfd waiting{*fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), 100))) < 0 && errno != EINTR) break;
        std::uint64_t dropped = 0;
        const Result<std::size_t> got = read_connection_records(stream, batch, std::size(batch), &dropped);
        if (!got) break;
        if (lost != nullptr) *lost += dropped;
        records.insert(records.end(), batch, batch + *got);
    }
    return records;
}

Records on_port(const Records& records, const std::string& address, unsigned port, ConnectionKind kind) {
    const std::uint64_t own = namespace_inode("net");
    Records found;
    for (const auto& record : records)
        if (record.kind == kind && record.network_namespace == own &&
            ((record.local_port == port && address_text(record, true) == address) ||
             (record.remote_port == port && address_text(record, false) == address)))
            found.push_back(record);
    return found;
}

std::size_t count_side(const Records& records, ConnectionSide side) {
    return static_cast<std::size_t>(
        std::count_if(records.begin(), records.end(), [side](const auto& record) { return record.side == side; }));
}

std::string address_text(const ConnectionRecord& record, bool local) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(record.family, local ? record.local_address : record.remote_address, text, sizeof text);
    return text;
}

std::string connection_peer_named(const std::string& name) { return program_named(SOCKSCOPE_CONNECTION_PEER, name); }

std::string run_as_pid_namespace_init(const std::function<std::string()>& body) {
    return run_isolated([&]() -> std::string {
        if (unshare(CLONE_NEWPID) != 0) return "skip: cannot make a PID namespace";
        ForkedChild init([&](int report) {
            const std::string result = body();
            if (!write_all(report, result.data(), result.size())) _exit(1);
        });
        if (init.pid() < 0) return "fork failed";
        std::string result;
        if (!init.read_to_end(result, ForkedChild::Clock::now() + std::chrono::seconds(30))) {
            init.stop(SIGKILL, std::chrono::milliseconds(0));
            return "the namespace's init timed out";
        }
        init.stop(0, std::chrono::seconds(5));
        const int status = init.status();
        if (result.empty() && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) result = "the namespace's init died";
        return result;
    });
}

std::uint64_t namespace_inode(const char* kind) {
    struct stat ns;
    const std::string path = std::string("/proc/self/ns/") + kind;
    return ::stat(path.c_str(), &ns) == 0 ? ns.st_ino : 0;
}

} // namespace sockscope_test
