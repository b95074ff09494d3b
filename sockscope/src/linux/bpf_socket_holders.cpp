// SPDX-License-Identifier: MIT
#include "linux/bpf_socket_holders.h"

#include <atomic>
#include <cstdlib>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstring>

#include "linux/socket_holders_iterator.h"

namespace sockscope_detail {
namespace {

// SOCKSCOPE_OWNER_SCAN=proc: no BPF program is loaded or used.
bool turned_off() {
    const char* scan = std::getenv("SOCKSCOPE_OWNER_SCAN");
    return scan != nullptr && std::strcmp(scan, "proc") == 0;
}

bool has(const __user_cap_data_struct (&sets)[2], int capability) {
    return (sets[capability / 32].effective & (1u << (capability % 32))) != 0;
}

// The iterator sees every process's descriptors; the /proc scan sees those
// the caller may trace. The iterator is used only by a caller who could
// read them all from /proc too (CAP_SYS_PTRACE) and may run the program:
// so both ways give the same answers, also in a process that loaded it and
// later gave up its privileges. Checked on every call.
bool privileged_now() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    return has(sets, CAP_SYS_PTRACE) && (has(sets, CAP_SYS_ADMIN) || (has(sets, CAP_BPF) && has(sets, CAP_PERFMON)));
}

// Loading costs tens of milliseconds (libbpf parses the kernel's BTF), so
// it happens once, on first use, for the life of the process; a failed load
// is remembered and not tried again. The iterator is never destroyed: no
// thread can find it gone, not even while exit handlers run.
//
// No thread ever waits for another's load: a lock or a guarded static
// would hang for good in a child forked while its parent was loading.
enum LoadState { not_tried, loading, loaded, failed };
std::atomic<int> load_state{not_tried};
std::atomic<const SocketHoldersIterator*> loaded_iterator{nullptr};

// The iterator; null when it failed to load or another thread is loading it.
const SocketHoldersIterator* process_iterator() {
    int state = load_state.load(std::memory_order_acquire);
    if (state == not_tried && load_state.compare_exchange_strong(state, loading, std::memory_order_acq_rel)) {
        const SocketHoldersIterator* iterator = SocketHoldersIterator::load(libbpf_file).release();
        loaded_iterator.store(iterator, std::memory_order_release);
        load_state.store(iterator != nullptr ? loaded : failed, std::memory_order_release);
        return iterator;
    }
    return state == loaded ? loaded_iterator.load(std::memory_order_acquire) : nullptr;
}

} // namespace

std::optional<SocketHolders> read_socket_holders() {
    if (turned_off() || !privileged_now()) return std::nullopt;
    const SocketHoldersIterator* iterator = process_iterator();
    if (iterator == nullptr) return std::nullopt;
    return iterator->read();
}

bool socket_holders_loaded() { return load_state.load(std::memory_order_acquire) == loaded; }

bool socket_holders_may_be_read() {
    return !turned_off() && load_state.load(std::memory_order_acquire) != failed && privileged_now();
}

} // namespace sockscope_detail
