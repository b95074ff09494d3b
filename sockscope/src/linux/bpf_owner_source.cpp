// SPDX-License-Identifier: MIT
#include "linux/bpf_owner_source.h"

#include <system_error>

#include "linux/bpf_socket_holders.h"
#include "linux/library_thread.h"

namespace sockscope_detail {

BpfOwnerSource::~BpfOwnerSource() {
    if (reader_.joinable()) reader_.join();
}

void BpfOwnerSource::read() {
    try {
        holders_.emplace(read_socket_holders());
    } catch (...) {
        exception_ = std::current_exception();
    }
}

void BpfOwnerSource::start() {
    if (!in_background_) return;
    try {
        reader_ = LibraryThread([this] { read(); });
    } catch (const std::system_error&) {
        // no thread to be had: read in find_owners
    }
}

Result<void> BpfOwnerSource::find_owners(SocketOwners& owners) {
    if (reader_.joinable()) reader_.join();
    if (!holders_ && !exception_) read();
    if (exception_) std::rethrow_exception(exception_);
    if (!*holders_) return holders_->failure();
    for (const SocketHolder& holder : holders_->value())
        if (only_process_ == 0 || holder.process == only_process_) owners.offer(holder);
    return {};
}

} // namespace sockscope_detail
