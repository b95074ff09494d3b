// SPDX-License-Identifier: MIT
#include "linux/bpf_socket_holders.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "linux/socket_holders_iterator.h"

namespace sockscope_detail {
namespace {

bool has(const __user_cap_data_struct (&sets)[2], int capability) {
    return (sets[capability / 32].effective & (1u << (capability % 32))) != 0;
}

// Loading costs tens of milliseconds (libbpf parses the kernel's BTF), so
// it happens once, on first use, for the life of the process. A failed
// load (a passing shortage of descriptors or memory, say) is tried again
// on the first use after a back-off (load_retry_delay), never on every
// call. The iterator is never destroyed: no thread can find it gone, not
// even while exit handlers run.
//
// No thread ever waits for another's load: a lock or a guarded static
// would hang for good in a child forked while its parent was loading.
enum LoadState { not_tried, loading, loaded, failed };
std::atomic<int> load_state{not_tried};
std::atomic<const SocketHoldersIterator*> loaded_iterator{nullptr};
std::atomic<unsigned> failed_loads{0};
std::atomic<std::int64_t> next_load_at{0}; // steady clock, in ms
// The user namespace the program was loaded in, as the inode of
// /proc/self/ns/user: loading takes privilege in the initial one.
std::atomic<std::uint64_t> loaded_in_namespace{0};

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint64_t user_namespace() {
    struct stat ns;
    return ::stat("/proc/self/ns/user", &ns) == 0 ? static_cast<std::uint64_t>(ns.st_ino) : 0;
}

bool may_load_now(int state) {
    return state == not_tried || (state == failed && now_ms() >= next_load_at.load(std::memory_order_acquire));
}

// The iterator sees every process's descriptors; the /proc scan sees those
// the caller may trace. The iterator is used only by a caller who could
// read them all from /proc too (CAP_SYS_PTRACE) and may run the program:
// so both ways give the same answers, also in a process that loaded it and
// later gave up its privileges. Capabilities count in the caller's own
// user namespace, and a process that entered a new one has them all
// there while /proc shuts it out of every other: the iterator is used only
// in the user namespace it was loaded in. Checked on every call.
bool privileged_now() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    if (!has(sets, CAP_SYS_PTRACE) || !(has(sets, CAP_SYS_ADMIN) || (has(sets, CAP_BPF) && has(sets, CAP_PERFMON))))
        return false;
    return load_state.load(std::memory_order_acquire) != loaded ||
           user_namespace() == loaded_in_namespace.load(std::memory_order_acquire);
}

// The iterator, loaded now if it is not yet and may be; a failure when it
// may not be loaded now or another thread is loading it.
Result<const SocketHoldersIterator*> process_iterator() {
    int state = load_state.load(std::memory_order_acquire);
    if (may_load_now(state) && load_state.compare_exchange_strong(state, loading, std::memory_order_acq_rel)) {
        const std::uint64_t namespace_now = user_namespace();
        Result<std::unique_ptr<SocketHoldersIterator>> iterator = SocketHoldersIterator::load(libbpf_file);
        if (!iterator) {
            const unsigned failures = failed_loads.fetch_add(1, std::memory_order_acq_rel) + 1;
            next_load_at.store(now_ms() + load_retry_delay(failures).count(), std::memory_order_release);
            load_state.store(failed, std::memory_order_release);
            return iterator.failure();
        }
        const SocketHoldersIterator* loaded_now = iterator->release();
        loaded_iterator.store(loaded_now, std::memory_order_release);
        loaded_in_namespace.store(namespace_now, std::memory_order_release);
        load_state.store(loaded, std::memory_order_release);
        return loaded_now;
    }
    if (state == loaded) return loaded_iterator.load(std::memory_order_acquire);
    return Failure{state == loading ? EAGAIN : ENOTSUP};
}

} // namespace

Result<SocketHolders> read_socket_holders() {
    if (!privileged_now()) return Failure{EPERM};
    const Result<const SocketHoldersIterator*> iterator = process_iterator();
    if (!iterator) return iterator.failure();
    return (*iterator)->read();
}

bool socket_holders_loaded() { return load_state.load(std::memory_order_acquire) == loaded; }

bool socket_holders_may_be_read() {
    const int state = load_state.load(std::memory_order_acquire);
    return (state != failed || may_load_now(state)) && privileged_now();
}

} // namespace sockscope_detail
