// SPDX-License-Identifier: MIT
#include "linux/directory_entries.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/decimal.h"

namespace sockscope_detail {
namespace {

// The head of a record as getdents64 writes it; the name follows.
struct LinuxDirent64Head {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
};
constexpr std::size_t name_offset = offsetof(LinuxDirent64Head, d_type) + 1;

} // namespace

DirectoryEntries::DirectoryEntries(int dirfd, DirectoryBuffer& buffer) : dirfd_(dirfd), buffer_(buffer) {
    if (::lseek(dirfd, 0, SEEK_SET) != 0) error_ = errno;
}

bool DirectoryEntries::next(std::string_view& name) {
    for (;;) {
        if (used_ >= filled_) {
            if (error_ != 0) return false;
            long got;
            do {
                got = ::syscall(SYS_getdents64, dirfd_, buffer_.data(), DirectoryBuffer::capacity);
            } while (got < 0 && errno == EINTR);
            if (got < 0) error_ = errno;
            if (got <= 0) return false;
            filled_ = static_cast<std::size_t>(got);
            used_ = 0;
        }
        const char* record = buffer_.data() + used_;
        LinuxDirent64Head head;
        std::memcpy(&head, record, sizeof head);
        used_ += head.d_reclen;
        name = std::string_view(record + name_offset);
        if (name != "." && name != "..") return true;
    }
}

bool ProcessIds::next(std::uint32_t& id) {
    std::string_view name;
    while (entries_.next(name)) {
        // Process folders are named by their id: digits, never a leading 0.
        if (name[0] != '0' && parse_number(name, id)) return listed_any_ = true;
    }
    return false;
}

} // namespace sockscope_detail
