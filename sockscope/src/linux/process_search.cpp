// SPDX-License-Identifier: MIT
#include "linux/process_search.h"

#include <string>

#include "core/failure.h"
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
bool runs_with_name(const ProcRoot& root, std::uint32_t id, const char16_t* name, ProcessImage& image) {
    UniqueFd process;
    if (open_process(root, id, process) != Access::granted) return false;
    const auto image_name = image.name(process.get(), id);
    return image_name && utf8_equals_utf16(*image_name, name) && !image.has_ended(process.get());
}

} // namespace

std::uint32_t find_process_id(const char16_t* name, const SystemSources& sources) {
    if (name == nullptr) return 0;
    const ProcRoot root(sources.proc_root);
    DirectoryBuffer buffer;
    ProcessIds ids(root.fd(), buffer);
    ProcessImage image;
    std::string comm;
    std::uint32_t id;
    while (ids.next(id)) {
        // Most processes are ruled out by their comm alone; a comm of the
        // full 15 bytes may be the start of a longer name, so it is looked
        // at whole.
        if (const int error = read_file_at(root.fd(), ProcessPath(id, "comm").c_str(), comm, 64); error != 0) {
            access_after(error);
            continue;
        }
        const std::string_view short_name = comm_from_file(comm);
        if (short_name.size() != max_comm_length && !utf8_equals_utf16(short_name, name)) continue;
        if (runs_with_name(root, id, name, image)) return id;
    }
    if (ids.error() != 0) fail(ids.error());
    return 0;
}

} // namespace sockscope_detail
