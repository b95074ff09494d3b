// SPDX-License-Identifier: MIT
#include "linux/socket_holders_iterator.h"

#include <cerrno>
#include <cstddef>
#include <new>
#include <unistd.h>

#include "linux/bpf/socket_holder.h"
#include "linux/bpf/socket_holders_object.h"
#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

// The program's records are read straight into SocketHolders.
static_assert(sizeof(SocketHolder) == sizeof(socket_holder));
static_assert(offsetof(SocketHolder, inode) == offsetof(socket_holder, inode));
static_assert(offsetof(SocketHolder, process) == offsetof(socket_holder, process));
static_assert(offsetof(SocketHolder, fd) == offsetof(socket_holder, fd));

namespace {

// The program's entry point, as named in socket_holders.bpf.c.
constexpr const char* program_name = "socket_holders";

} // namespace

Result<std::unique_ptr<SocketHoldersIterator>> SocketHoldersIterator::load(const char* libbpf_file) noexcept {
    Result<std::unique_ptr<LibbpfLibrary>> opened = LibbpfLibrary::open(libbpf_file);
    if (!opened) return opened.failure();
    std::unique_ptr<LibbpfLibrary> libbpf = std::move(*opened);
    const LibbpfFunctions& f = libbpf->functions();
    const QuietLibbpf quiet(f);

    // libbpf returns a negative errno, or null with errno set.
    const std::span<const std::byte> elf = socket_holders_object();
    bpf_object* object = f.object_open_mem(elf.data(), elf.size(), nullptr);
    if (object == nullptr) return Failure{errno};
    int error = 0;
    bpf_link* link = nullptr;
    if (bpf_program* program = f.find_program_by_name(object, program_name); program == nullptr) error = ENOENT;
    else if (const int loaded = f.object_load(object); loaded != 0) error = -loaded;
    else if (link = f.attach_iter(program, nullptr); link == nullptr) error = errno;
    // The attachment holds the program in the kernel by itself; the object
    // (the program's instructions, BTF and their descriptors) is no longer
    // needed.
    f.object_close(object);
    if (link == nullptr) return Failure{error != 0 ? error : EINVAL};
    auto* iterator = new (std::nothrow) SocketHoldersIterator(std::move(libbpf), link);
    if (iterator == nullptr) {
        f.link_destroy(link);
        return Failure{ENOMEM};
    }
    return std::unique_ptr<SocketHoldersIterator>(iterator);
}

SocketHoldersIterator::~SocketHoldersIterator() { libbpf_->functions().link_destroy(link_); }

Result<SocketHolders> SocketHoldersIterator::read() const {
    const LibbpfFunctions& f = libbpf_->functions();
    const UniqueFd iterator(f.iter_create(f.link_fd(link_)));
    if (!iterator.valid()) return Failure{errno};

    // The kernel hands out whole records, but a read may stop anywhere in
    // one when the buffer fills: bytes are gathered into the holders'
    // storage and counted, and only the end of the output (read() == 0)
    // must fall on a record's boundary.
    SocketHolders holders(1024);
    std::size_t filled = 0; // bytes
    for (;;) {
        std::size_t capacity = holders.size() * sizeof(SocketHolder);
        if (filled == capacity) {
            holders.resize(holders.size() * 2);
            capacity = holders.size() * sizeof(SocketHolder);
        }
        char* free_space = reinterpret_cast<char*>(holders.data()) + filled;
        const ssize_t got = retrying([&] { return ::read(iterator.get(), free_space, capacity - filled); });
        if (got == 0) break;
        if (got < 0) return Failure{errno};
        filled += static_cast<std::size_t>(got);
    }
    if (filled % sizeof(SocketHolder) != 0) return Failure{EPROTO};
    holders.resize(filled / sizeof(SocketHolder));
    return holders;
}

} // namespace sockscope_detail
