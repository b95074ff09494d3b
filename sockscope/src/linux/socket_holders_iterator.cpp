// SPDX-License-Identifier: MIT
#include "linux/socket_holders_iterator.h"

#include <cerrno>
#include <cstddef>
#include <new>
#include <unistd.h>

#include "linux/bpf/socket_holder_record.h"
#include "linux/bpf/socket_holders_object.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

// The program's records are read straight into SocketHolders.
static_assert(sizeof(SocketHolder) == sizeof(socket_holder_record));
static_assert(offsetof(SocketHolder, inode) == offsetof(socket_holder_record, inode));
static_assert(offsetof(SocketHolder, process) == offsetof(socket_holder_record, process));
static_assert(offsetof(SocketHolder, fd) == offsetof(socket_holder_record, fd));

namespace {

// The program's entry point, as named in socket_holders.bpf.c.
constexpr const char* program_name = "socket_holders";

// libbpf prints its diagnostics to stderr unless told otherwise; a library
// has no business writing there. The previous printer is put back
// afterwards, since a host program may use the same libbpf for itself.
class QuietLibbpf {
public:
    explicit QuietLibbpf(const LibbpfFunctions& libbpf)
        : libbpf_(libbpf), previous_(libbpf.set_print(nullptr)) {}
    ~QuietLibbpf() { libbpf_.set_print(previous_); }
    QuietLibbpf(const QuietLibbpf&) = delete;
    QuietLibbpf& operator=(const QuietLibbpf&) = delete;

private:
    const LibbpfFunctions& libbpf_;
    libbpf_print_fn_t previous_;
};

} // namespace

std::unique_ptr<SocketHoldersIterator> SocketHoldersIterator::load(const char* libbpf_file) noexcept {
    std::unique_ptr<LibbpfLibrary> libbpf = LibbpfLibrary::open(libbpf_file);
    if (!libbpf) return nullptr;
    const LibbpfFunctions& f = libbpf->functions();
    const QuietLibbpf quiet(f);

    const std::span<const std::byte> elf = socket_holders_object();
    bpf_object* object = f.object_open_mem(elf.data(), elf.size(), nullptr);
    if (object == nullptr) return nullptr;
    bpf_program* program = f.find_program_by_name(object, program_name);
    bpf_link* link = nullptr;
    if (program != nullptr && f.object_load(object) == 0) link = f.attach_iter(program, nullptr);
    // The attachment holds the program in the kernel by itself; the object
    // (the program's instructions, BTF and their descriptors) is no longer
    // needed.
    f.object_close(object);
    if (link == nullptr) return nullptr;
    auto* iterator = new (std::nothrow) SocketHoldersIterator(std::move(libbpf), link);
    if (iterator == nullptr) f.link_destroy(link);
    return std::unique_ptr<SocketHoldersIterator>(iterator);
}

SocketHoldersIterator::~SocketHoldersIterator() { libbpf_->functions().link_destroy(link_); }

std::optional<SocketHolders> SocketHoldersIterator::read() const {
    const LibbpfFunctions& f = libbpf_->functions();
    const UniqueFd iterator(f.iter_create(f.link_fd(link_)));
    if (!iterator.valid()) return std::nullopt;

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
        const ssize_t got = ::read(iterator.get(), reinterpret_cast<char*>(holders.data()) + filled, capacity - filled);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled % sizeof(SocketHolder) != 0) return std::nullopt;
    holders.resize(filled / sizeof(SocketHolder));
    return holders;
}

} // namespace sockscope_detail
