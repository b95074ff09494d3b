// SPDX-License-Identifier: MIT
#include "linux/process_search.h"

#include <string>

#include "core/image_name.h"
#include "linux/directory_entries.h"
#include "linux/file_reader.h"
#include "linux/proc_fs.h"
#include "linux/process_image.h"
#include "core/utf8.h"

namespace sockscope_detail {
namespace {

// Whether process `id` has that name and runs, everything read through one
// handle to it.
Result<bool> runs_with_name(int root, std::uint32_t id, const char16_t* name, ProcessImage& image) {
    Result<UniqueFd> process = open_process(root, id);
    if (!process) {
        if (fails_the_call(process.error())) return process.failure();
        return false;
    }
    const Result<std::optional<ProcessImage::Names>> names = image.names(process->get(), id);
    if (!names) return names.failure();
    if (!*names || !utf8_equals_utf16((*names)->image, name)) return false;
    const Result<bool> ended = image.has_ended(process->get());
    if (!ended) return ended.failure();
    return !*ended;
}

} // namespace

Result<std::uint32_t> find_process_id(const char16_t* name, const SystemSources& sources) {
    if (name == nullptr) return 0u;
    const ProcRoot root(sources.proc_root);
    const Result<int> root_fd = root.fd();
    if (!root_fd) return root_fd.failure();
    DirectoryBuffer buffer;
    ProcessIds ids(*root_fd, buffer);
    ProcessImage image;
    std::string comm;
    std::uint32_t id;
    for (;;) {
        const Result<bool> more = ids.next(id);
        if (!more) return more.failure();
        if (!*more) return 0u;
        // Most processes are ruled out by their comm alone; a comm of the
        // full 15 bytes may be the start of a longer name, so it is looked
        // at whole.
        if (const Result<void> read = read_file_at(*root_fd, ProcessPath(id, "comm").c_str(), comm, 64); !read) {
            if (fails_the_call(read.error())) return read.failure();
            continue;
        }
        const std::string_view short_name = comm_from_file(comm);
        if (short_name.size() != max_comm_length && !utf8_equals_utf16(short_name, name)) continue;
        const Result<bool> runs = runs_with_name(*root_fd, id, name, image);
        if (!runs) return runs.failure();
        if (*runs) return id;
    }
}

} // namespace sockscope_detail
