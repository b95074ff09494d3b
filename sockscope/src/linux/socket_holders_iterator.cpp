// SPDX-License-Identifier: MIT
#include "linux/socket_holders_iterator.h"

#include <cerrno>
#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <vector>
#include <unistd.h>

#include "linux/bpf/socket_holder.h"
#include "linux/bpf/socket_holders_object.h"
#include "linux/kernel_btf.h"
#include "linux/kernel_typed_loader.h"
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
constexpr const char* program_names[] = {"socket_holders"};

// The object opened, with the relocation BTF at `relocation_btf_path` when
// not null.
Result<bpf_object*> open_object(const LibbpfFunctions& f, const char* relocation_btf_path) {
    const std::span<const std::byte> elf = socket_holders_object();
    bpf_object_open_opts options{};
    options.sz = sizeof options;
    options.btf_custom_path = relocation_btf_path;
    bpf_object* object = f.object_open_mem(elf.data(), elf.size(), &options);
    if (object == nullptr) return Failure{errno != 0 ? errno : EINVAL};
    return object;
}

// Loaded without libbpf reading the kernel's BTF: ENOTSUP where that way is
// unavailable.
Result<bpf_object*> load_with_kernel_types(const LibbpfFunctions& f) {
    if (!section_handler_registered(f)) return Failure{ENOTSUP};
    const Result<std::unique_ptr<KernelBtf>> kernel = KernelBtf::load();
    if (!kernel) return Failure{ENOTSUP};
    const Result<RelocationBtf> btf = relocation_btf_file((*kernel)->types(), socket_holders_object());
    if (!btf) return Failure{ENOTSUP};
    const Result<bpf_object*> opened = open_object(f, btf->path.c_str());
    if (!opened) return opened;
    OpenedObject object(f, *opened);
    const std::optional<std::vector<HookedProgram>> programs = hooked_programs(f, object.get(), program_names);
    const int error = programs ? load_hooked(f, object.get(), (*kernel)->types(), *programs) : ENOENT;
    if (error == 0) return object.release();
    return object.close_failing(error);
}

// Loaded libbpf's way: its type and target set by name, the kernel's BTF
// read by libbpf.
Result<bpf_object*> load_libbpf_way(const LibbpfFunctions& f) {
    const Result<bpf_object*> opened = open_object(f, nullptr);
    if (!opened) return opened;
    OpenedObject object(f, *opened);
    const std::optional<std::vector<HookedProgram>> programs = hooked_programs(f, object.get(), program_names);
    const int error = programs ? load_by_names(f, object.get(), *programs) : EINVAL;
    if (error == 0) return object.release();
    return object.close_failing(error);
}

// The object loaded, the faster way first; the errno of the refusal (never
// one of libbpf's own codes).
Result<bpf_object*> load_object(const LibbpfFunctions& f) noexcept {
    try {
        Result<bpf_object*> object = load_with_kernel_types(f);
        // No memory is the caller's failure, which the slower way would
        // meet too: only a refusal of this way falls back to it.
        if (!object && object.error() != ENOMEM) object = load_libbpf_way(f);
        if (object) return object;
        return Failure{libbpf_errno(object.error())};
    } catch (const std::bad_alloc&) {
        return Failure{ENOMEM};
    }
}

} // namespace

Result<std::unique_ptr<SocketHoldersIterator>> SocketHoldersIterator::load(const char* libbpf_file) noexcept {
    Result<std::unique_ptr<LibbpfLibrary>> opened = LibbpfLibrary::open(libbpf_file);
    if (!opened) return opened.failure();
    std::unique_ptr<LibbpfLibrary> libbpf = std::move(*opened);
    const LibbpfFunctions& f = libbpf->functions();
    const QuietLibbpf quiet(f);

    const Result<bpf_object*> object = load_object(f);
    if (!object) return object.failure();
    bpf_link* link = f.attach_iter(f.find_program_by_name(*object, program_names[0]), nullptr);
    const int error = link == nullptr ? (errno != 0 ? errno : EINVAL) : 0;
    // The attachment holds the program in the kernel by itself; the object
    // (the program's instructions, BTF and their descriptors) is no longer
    // needed.
    f.object_close(*object);
    if (link == nullptr) return Failure{libbpf_errno(error)};
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
