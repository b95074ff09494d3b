// SPDX-License-Identifier: MIT
#include "linux/process_image.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "core/image_name.h"
#include "core/process_stat.h"
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

Result<std::optional<ProcessImage::Names>> ProcessImage::names(int process, std::uint32_t id) {
    using Found = std::optional<Names>;
    if (const Result<void> read = read_file_at(process, "comm", file_, 64); !read) {
        if (fails_the_call(read.error())) return read.failure();
        return Found{};
    }
    const std::string_view comm = comm_from_file(file_);
    if (comm.size() != max_comm_length) return Found{Names{comm, comm}};

    // The comm may have been cut: look for the whole name in the
    // executable's path, then in argv[0]. Either may be closed to us,
    // missing (kernel threads) or too long to read; then the comm is the
    // name.
    link_.resize(PATH_MAX);
    Result<std::size_t> length = read_link_at(process, "exe", link_.data(), link_.size());
    if (!length && length.error() == ENOENT) {
        // A main thread that ended took the process's memory map from
        // /proc/<id>; another thread still shows it.
        if (!threads_) threads_ = std::make_unique<DirectoryBuffer>();
        char thread[48], exe[56];
        const Result<bool> other = other_thread(process, ".", id, *threads_, thread);
        if (!other) return other.failure();
        if (*other) {
            std::snprintf(exe, sizeof exe, "%s/exe", thread);
            length = read_link_at(process, exe, link_.data(), link_.size());
        }
    }
    if (!length && fails_the_call(length.error())) return length.failure();
    if (length && *length > 0) {
        const auto path = executable_path({link_.data(), *length});
        if (const auto name = long_name_from_path(comm, path)) return Found{Names{keep_only(link_, *name), comm}};
    }
    if (const Result<void> read = read_file_at(process, "cmdline", link_, command_line_limit); !read) {
        if (fails_the_call(read.error())) return read.failure();
        link_.clear();
    }
    if (const auto name = long_name_from_path(comm, first_argument(link_)))
        return Found{Names{keep_only(link_, *name), comm}};
    return Found{Names{comm, comm}};
}

Result<bool> ProcessImage::has_ended(int process) {
    // A process whose state can't be read for another reason is taken to
    // run: it is there.
    if (const Result<void> read = read_file_at(process, "stat", file_, 4096); !read) {
        if (fails_the_call(read.error())) return read.failure();
        return is_gone(read.error());
    }
    return stat_shows_ended(file_);
}

} // namespace sockscope_detail
