// SPDX-License-Identifier: MIT
#include "linux/bpf_ring_buffer.h"

#include <cerrno>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace sockscope_detail {
namespace {

// The kernel's record header (struct bpf_ringbuf_hdr): the length, with
// two flags in its top bits, and the record's page offset.
constexpr std::uint32_t busy_bit = 1u << 31;    // still being written
constexpr std::uint32_t discard_bit = 1u << 30; // written, then thrown away
constexpr std::size_t header_size = 8;

// The positions and headers are shared with the kernel, which reads and
// writes them with acquire and release ordering.
std::uint64_t load_position(const void* position) {
    return __atomic_load_n(static_cast<const std::uint64_t*>(position), __ATOMIC_ACQUIRE);
}

void store_position(void* position, std::uint64_t value) {
    __atomic_store_n(static_cast<std::uint64_t*>(position), value, __ATOMIC_RELEASE);
}

} // namespace

Result<std::unique_ptr<BpfRingBuffer>> BpfRingBuffer::map(int fd, std::size_t size) noexcept {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* consumer = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (consumer == MAP_FAILED) return Failure{errno};
    // The kernel maps the data twice in a row, so that a record that wraps
    // around the end reads as one piece.
    void* producer = ::mmap(nullptr, page + 2 * size, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(page));
    if (producer == MAP_FAILED) {
        const int error = errno;
        ::munmap(consumer, page);
        return Failure{error};
    }
    auto* ring = new (std::nothrow) BpfRingBuffer(consumer, producer, size, page, load_position(consumer));
    if (ring == nullptr) {
        ::munmap(producer, page + 2 * size);
        ::munmap(consumer, page);
        return Failure{ENOMEM};
    }
    return std::unique_ptr<BpfRingBuffer>(ring);
}

BpfRingBuffer::~BpfRingBuffer() {
    ::munmap(producer_, page_ + 2 * size_);
    ::munmap(consumer_, page_);
}

std::span<const std::byte> BpfRingBuffer::front() noexcept {
    const auto* data = static_cast<const std::byte*>(producer_) + page_;
    // Records the kernel discarded are skipped on the way. The producer
    // position is read again only when every record it showed is taken.
    for (;;) {
        if (read_ >= written_) written_ = load_position(producer_);
        if (read_ >= written_) return {};
        const std::uint64_t position = read_;
        const auto* header = data + (position & (size_ - 1));
        const std::uint32_t length = __atomic_load_n(reinterpret_cast<const std::uint32_t*>(header), __ATOMIC_ACQUIRE);
        if ((length & busy_bit) != 0) return {};
        const std::uint32_t record_size = length & ~(busy_bit | discard_bit);
        const std::uint64_t end = position + ((record_size + header_size + 7) & ~std::uint64_t{7});
        if ((length & discard_bit) == 0) {
            front_end_ = end;
            return {header + header_size, record_size};
        }
        read_ = end;
    }
}

void BpfRingBuffer::pop() noexcept {
    if (front_end_ == 0) return;
    read_ = front_end_;
    front_end_ = 0;
}

void BpfRingBuffer::give_back() noexcept {
    if (load_position(consumer_) != read_) store_position(consumer_, read_);
}

} // namespace sockscope_detail
