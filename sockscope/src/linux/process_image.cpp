// SPDX-License-Identifier: MIT
#include "linux/process_image.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "core/image_name.h"
#include "linux/file_reader.h"
#include "linux/proc_fs.h"
#include "linux/process_threads.h"

namespace sockscope_detail {
namespace {

// argv[0] is looked for in at most this much of the command line.
constexpr std::size_t command_line_limit = PATH_MAX + 1;

// Shrinks `text` to `part`, a view into it, and returns a view of the result.
std::string_view keep_only(std::string& text, std::string_view part) {
    text.erase(0, static_cast<std::size_t>(part.data() - text.data()));
    text.resize(part.size());
    return text;
}

} // namespace

std::optional<std::string_view> ProcessImage::name(int process, std::uint32_t id) {
    if (const int error = read_file_at(process, "comm", file_, 64); error != 0) {
        access_after(error); // throws only when the caller's resources failed
        return std::nullopt;
    }
    const std::string_view comm = comm_from_file(file_);
    if (comm.size() != max_comm_length) return comm;

    // The comm may have been cut: look for the whole name in the
    // executable's path, then in argv[0]. Either may be closed to us,
    // missing (kernel threads) or too long to read; then the comm is the
    // name.
    link_.resize(PATH_MAX);
    ssize_t length = read_link_at(process, "exe", link_.data(), link_.size());
    char thread[48], exe[56];
    if (length == -ENOENT) {
        // A main thread that ended took the process's memory map from
        // /proc/<id>; another thread still shows it.
        if (!threads_) threads_ = std::make_unique<DirectoryBuffer>();
        if (other_thread(process, ".", id, *threads_, thread)) {
            std::snprintf(exe, sizeof exe, "%s/exe", thread);
            length = read_link_at(process, exe, link_.data(), link_.size());
        }
    }
    if (length < 0) access_after(static_cast<int>(-length));
    if (length > 0) {
        const auto path = executable_path({link_.data(), static_cast<std::size_t>(length)});
        if (const auto name = long_name_from_path(comm, path)) return keep_only(link_, *name);
    }
    if (const int error = read_file_at(process, "cmdline", link_, command_line_limit); error != 0) {
        access_after(error);
        link_.clear();
    }
    if (const auto name = long_name_from_path(comm, first_argument(link_))) return keep_only(link_, *name);
    return comm;
}

bool ProcessImage::has_ended(int process) {
    // A process whose state can't be read for another reason is taken to
    // run: it is there.
    if (const int error = read_file_at(process, "stat", file_, 4096); error != 0)
        return access_after(error) == Access::vanished;
    return stat_shows_ended(file_);
}

} // namespace sockscope_detail
