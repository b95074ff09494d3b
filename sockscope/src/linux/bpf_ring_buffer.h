// SPDX-License-Identifier: MIT
// The reading end of a BPF ring buffer map, mapped into this process:
// records are read where the kernel wrote them, without system calls, and
// taken one at a time, so a reader can stop after any record without
// losing the next. Their room goes back to the kernel when the reader says
// (give_back), once for a batch: the kernel reads the position at every
// record it writes, and a store at every record read would move that
// position's cache line between the CPUs each time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/result.h"

namespace sockscope_detail {

class BpfRingBuffer {
public:
    // Maps the ring buffer map behind `fd`, whose size is `size` bytes (a
    // power of two, a multiple of the page size); the errno of mmap when
    // mapping fails.
    static Result<std::unique_ptr<BpfRingBuffer>> map(int fd, std::size_t size) noexcept;
    ~BpfRingBuffer();
    BpfRingBuffer(const BpfRingBuffer&) = delete;
    BpfRingBuffer& operator=(const BpfRingBuffer&) = delete;

    // The oldest record the kernel has finished writing, or an empty span
    // when there is none. The same record until pop().
    std::span<const std::byte> front() noexcept;
    // Takes the front record: the next front() is the one after it.
    void pop() noexcept;
    // Gives the room of every record taken so far back to the kernel.
    void give_back() noexcept;

private:
    BpfRingBuffer(void* consumer, void* producer, std::size_t size, std::size_t page, std::uint64_t position)
        : consumer_(consumer), producer_(producer), size_(size), page_(page), read_(position), written_(position) {}

    void* consumer_;      // one page: the consumer position, written here
    void* producer_;      // the producer position's page, then the data mapped twice
    std::size_t size_;    // of the data
    std::size_t page_;
    std::uint64_t read_;          // position after the last record taken
    std::uint64_t written_;       // the producer position as last read
    std::uint64_t front_end_ = 0; // position after the front record; 0 when none is taken
};

} // namespace sockscope_detail
