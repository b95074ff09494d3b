// SPDX-License-Identifier: MIT
#include "linux/bpf_owner_source.h"

#include <system_error>

#include "linux/bpf_socket_holders.h"
#include "linux/proc_owner_scan.h"
#include "linux/signals_blocked.h"

namespace sockscope_detail {

BpfOwnerSource::~BpfOwnerSource() {
    if (reader_.joinable()) reader_.join();
}

void BpfOwnerSource::read() {
    try {
        holders_ = read_socket_holders();
    } catch (...) {
        failure_ = std::current_exception();
    }
    read_ = true;
}

void BpfOwnerSource::start() {
    if (plan_.threads < 2) return;
    const SignalsBlocked blocked;
    try {
        reader_ = std::thread([this] { read(); });
    } catch (const std::system_error&) {
        // no thread to be had: read in find_owners
    }
}

void BpfOwnerSource::find_owners(SocketOwners& owners) {
    if (reader_.joinable()) reader_.join();
    if (!read_) read();
    if (failure_) std::rethrow_exception(failure_);
    if (!holders_) {
        ProcOwnerScan(root_, only_process_, plan_.threads).find_owners(owners);
        return;
    }
    for (const Holding& holder : *holders_)
        if (only_process_ == 0 || holder.process == only_process_) owners.offer(holder);
}

} // namespace sockscope_detail
