#include "proc_files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sockscope_detail {
namespace {

// The largest record getdents64 makes: header, a 255-byte name and its
// terminator, aligned to 8.
constexpr std::size_t largest_entry = 280;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

} // namespace

UniqueFd open_directory(int dirfd, const char* path) {
    int fd;
    do {
        fd = ::openat(dirfd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

UniqueFd open_proc() { return open_directory(AT_FDCWD, "/proc"); }

ssize_t read_file_at(int dirfd, const char* path, char* buffer, std::size_t capacity) {
    int fd;
    do {
        fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    UniqueFd file(fd);
    std::size_t total = 0;
    while (total < capacity) {
        const ssize_t got = ::read(fd, buffer + total, capacity - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        total += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(total);
}

ssize_t read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity) {
    return ::readlinkat(dirfd, path, buffer, capacity);
}

bool parse_process_id(std::string_view text, std::uint32_t& id) {
    if (text.empty() || text.size() > 10 || text[0] == '0') return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

bool DirectoryEntries::next(std::string_view& name) {
    for (;;) {
        if (used_ >= filled_) {
            if (at_end_) return false;
            long got;
            do {
                got = ::syscall(SYS_getdents64, dirfd_, buffer_, sizeof buffer_);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) return false;
            filled_ = static_cast<std::size_t>(got);
            used_ = 0;
            // /proc fills the buffer while entries fit; room left for the
            // largest possible entry means it ran out of entries. Knowing it
            // saves the call that would return nothing, once per process.
            at_end_ = sizeof buffer_ - filled_ >= largest_entry;
        }
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer_ + used_);
        used_ += entry->d_reclen;
        name = std::string_view(entry->d_name);
        if (name != "." && name != "..") return true;
    }
}

bool ProcessIds::next(std::uint32_t& id) {
    std::string_view name;
    while (entries_.next(name)) {
        if (parse_process_id(name, id)) return true;
    }
    return false;
}

} // namespace sockscope_detail
