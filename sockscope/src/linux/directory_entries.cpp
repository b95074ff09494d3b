// SPDX-License-Identifier: MIT
#include "linux/directory_entries.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/decimal.h"
#include "linux/system_call.h"

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

Result<bool> DirectoryEntries::next(std::string_view& name) {
    for (;;) {
        if (used_ >= filled_) {
            if (error_ != 0) return Failure{error_};
            const long got = retrying([&] { return ::syscall(SYS_getdents64, dirfd_, buffer_.data(), DirectoryBuffer::capacity); });
            if (got < 0) return Failure{errno};
            if (got == 0) return false;
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

Result<bool> ProcessIds::next(std::uint32_t& id) {
    std::string_view name;
    for (;;) {
        const Result<bool> more = entries_.next(name);
        if (!more) return more;
        if (!*more) {
            if (!listed_any_) return Failure{ENOENT};
            return false;
        }
        // Process folders are named by their id: digits, never a leading 0.
        if (name[0] != '0' && parse_number(name, id)) return listed_any_ = true;
    }
}

} // namespace sockscope_detail
