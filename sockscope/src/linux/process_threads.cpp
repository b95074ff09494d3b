// SPDX-License-Identifier: MIT
#include "linux/process_threads.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/decimal.h"
#include "linux/proc_fs.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

bool other_thread(int dirfd, const char* folder, std::uint32_t id, DirectoryBuffer& buffer, char (&path)[48]) {
    // The task folder's link count is 2 plus the process's threads: most
    // processes are answered by this one call.
    char task_path[32];
    std::snprintf(task_path, sizeof task_path, "%s/task", folder);
    struct stat task;
    if (::fstatat(dirfd, task_path, &task, 0) != 0) {
        access_after(errno);
        return false;
    }
    if (task.st_nlink <= 3) return false;
    int fd;
    do {
        fd = ::openat(dirfd, task_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        access_after(errno);
        return false;
    }
    const UniqueFd tasks(fd);
    DirectoryEntries threads(tasks.get(), buffer);
    std::string_view name;
    std::uint32_t thread;
    while (threads.next(name)) {
        if (!parse_number(name, thread) || thread == id) continue;
        std::snprintf(path, sizeof path, "%s/%u", task_path, thread);
        return true;
    }
    if (threads.error() != 0) access_after(threads.error());
    return false;
}

} // namespace sockscope_detail
