// SPDX-License-Identifier: MIT
// A preload that counts the C heap, for measuring the peak heap of one
// snapshot without a profiler (the call runs at full speed, threads and
// BPF system calls included):
//
//   LD_PRELOAD=.../libsockscope_heap_counter.so snapshot_once --memory
//
// Every block handed out by malloc and its kin (operator new goes through
// malloc) adds its usable size; every release takes it off. A program finds
// the two functions below with dlsym and brackets the code it measures:
//
//   sockscope_heap_counter_reset()  the peak starts again from the heap's size now
//   sockscope_heap_counter_peak()   the highest size since then, less the size then
//
// The blocks are still glibc's: the counter only adds bookkeeping around
// __libc_malloc and friends, so malloc_usable_size stays valid. Anonymous
// mappings made through mmap count too, by their length while they are
// mapped: the library maps its largest working arrays itself (glibc's own
// mappings for large blocks go round this and are counted as blocks).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<long long> current{0};
std::atomic<long long> peak{0};
std::atomic<long long> baseline{0};

void count(long long change) {
    const long long now = current.fetch_add(change, std::memory_order_relaxed) + change;
    long long seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void* added(void* block) {
    if (block != nullptr) count(static_cast<long long>(malloc_usable_size(block)));
    return block;
}

// The anonymous mappings now counted, as [start, end) ranges.
struct Range {
    std::uintptr_t start = 0, end = 0;
};
constexpr int max_ranges = 256;
Range ranges[max_ranges];
std::atomic_flag ranges_busy = ATOMIC_FLAG_INIT;

struct RangesLock {
    RangesLock() {
        while (ranges_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~RangesLock() { ranges_busy.clear(std::memory_order_release); }
};

// Both take the lock from their caller, which holds it across the system
// call too: otherwise another thread could be given the range just unmapped
// before it was taken off. A full table ends the program rather than
// giving a figure that leaves mappings out.
void add_range(std::uintptr_t start, std::uintptr_t end) {
    for (Range& range : ranges) {
        if (range.start == range.end) {
            range = {start, end};
            count(static_cast<long long>(end - start));
            return;
        }
    }
    std::abort();
}

// Takes [start, end) off every counted range it overlaps.
void remove_range(std::uintptr_t start, std::uintptr_t end) {
    for (Range& range : ranges) {
        if (range.start == range.end || range.end <= start || end <= range.start) continue;
        const Range before{range.start, std::max(range.start, start)};
        const Range after{std::min(range.end, end), range.end};
        count(-static_cast<long long>((range.end - range.start) - (before.end - before.start) - (after.end - after.start)));
        range = before;
        if (after.start >= after.end) continue;
        if (range.start == range.end) {
            range = after;
            continue;
        }
        Range* spare = std::find_if(std::begin(ranges), std::end(ranges), [](const Range& r) { return r.start == r.end; });
        if (spare == std::end(ranges)) std::abort();
        *spare = after;
    }
}

using MmapFunction = void* (*)(void*, std::size_t, int, int, int, off_t);
using MunmapFunction = int (*)(void*, std::size_t);
MmapFunction next_mmap = nullptr;
MunmapFunction next_munmap = nullptr;

// The C library's own mmap and munmap, found when the preload loads (or at
// a first call that comes before that).
__attribute__((constructor)) void find_mapping_functions() {
    if (next_mmap == nullptr) next_mmap = reinterpret_cast<MmapFunction>(dlsym(RTLD_NEXT, "mmap"));
    if (next_munmap == nullptr) next_munmap = reinterpret_cast<MunmapFunction>(dlsym(RTLD_NEXT, "munmap"));
}

bool is_power_of_two(std::size_t value) { return value != 0 && (value & (value - 1)) == 0; }

} // namespace

extern "C" {

__attribute__((visibility("default"))) void sockscope_heap_counter_reset() {
    const long long now = current.load(std::memory_order_relaxed);
    baseline.store(now, std::memory_order_relaxed);
    peak.store(now, std::memory_order_relaxed);
}

__attribute__((visibility("default"))) long long sockscope_heap_counter_peak() {
    return peak.load(std::memory_order_relaxed) - baseline.load(std::memory_order_relaxed);
}

__attribute__((visibility("default"))) void* malloc(std::size_t size) { return added(__libc_malloc(size)); }

__attribute__((visibility("default"))) void* calloc(std::size_t items, std::size_t size) {
    return added(__libc_calloc(items, size));
}

__attribute__((visibility("default"))) void free(void* block) {
    if (block == nullptr) return;
    count(-static_cast<long long>(malloc_usable_size(block)));
    __libc_free(block);
}

__attribute__((visibility("default"))) void* realloc(void* block, std::size_t size) {
    const long long before = block == nullptr ? 0 : static_cast<long long>(malloc_usable_size(block));
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr) count(static_cast<long long>(malloc_usable_size(moved)) - before);
    else if (size == 0 && block != nullptr) count(-before); // realloc(p, 0) released p
    return moved;
}

__attribute__((visibility("default"))) void* reallocarray(void* block, std::size_t items, std::size_t size) {
    std::size_t bytes;
    if (__builtin_mul_overflow(items, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(block, bytes);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size) {
    return added(__libc_memalign(alignment, size));
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return added(__libc_memalign(alignment, size));
}

__attribute__((visibility("default"))) int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
    if (!is_power_of_two(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    void* made = added(__libc_memalign(alignment, size));
    if (made == nullptr) return ENOMEM;
    *block = made;
    return 0;
}

__attribute__((visibility("default"))) void* valloc(std::size_t size) {
    return added(__libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size));
}

__attribute__((visibility("default"))) void* pvalloc(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return added(__libc_memalign(page, (size + page - 1) / page * page));
}

__attribute__((visibility("default"))) void* mmap(void* address, std::size_t length, int protection, int flags,
                                                  int fd, off_t offset) {
    find_mapping_functions();
    const RangesLock lock;
    void* mapped = next_mmap(address, length, protection, flags, fd, offset);
    if (mapped != MAP_FAILED && (flags & MAP_ANONYMOUS) != 0) {
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        add_range(start, start + length);
    }
    return mapped;
}

__attribute__((visibility("default"))) int munmap(void* address, std::size_t length) {
    find_mapping_functions();
    const RangesLock lock;
    const int result = next_munmap(address, length);
    if (result == 0) {
        const auto start = reinterpret_cast<std::uintptr_t>(address);
        remove_range(start, start + length);
    }
    return result;
}

} // extern "C"
