// SPDX-License-Identifier: MIT
#include "linux/process_threads.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/decimal.h"
#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// A failure reading the threads of one process: that process has no other
// thread we can see, unless the caller's own resources failed.
Result<bool> unless_the_callers(int error) {
    if (fails_the_call(error)) return Failure{error};
    return false;
}

} // namespace

Result<bool> other_thread(int dirfd, const char* folder, std::uint32_t id, DirectoryBuffer& buffer,
                          char (&path)[48]) {
    // The task folder's link count is 2 plus the process's threads: most
    // processes are answered by this one call.
    char task_path[32];
    std::snprintf(task_path, sizeof task_path, "%s/task", folder);
    struct stat task;
    if (::fstatat(dirfd, task_path, &task, 0) != 0) return unless_the_callers(errno);
    if (task.st_nlink <= 3) return false;
    const int fd = retrying([&] { return ::openat(dirfd, task_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return unless_the_callers(errno);
    const UniqueFd tasks(fd);
    DirectoryEntries threads(tasks.get(), buffer);
    std::string_view name;
    std::uint32_t thread;
    for (;;) {
        const Result<bool> more = threads.next(name);
        if (!more) return unless_the_callers(more.error());
        if (!*more) return false;
        if (!parse_number(name, thread) || thread == id) continue;
        std::snprintf(path, sizeof path, "%s/%u", task_path, thread);
        return true;
    }
}

} // namespace sockscope_detail
