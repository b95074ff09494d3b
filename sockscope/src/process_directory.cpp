#include "process_directory.h"

#include <climits>
#include <cstdio>

#include "image_name.h"
#include "proc_files.h"
#include "unique_fd.h"
#include "utf8.h"

namespace sockscope_detail {
namespace {

// Reads /proc/<id>/<leaf> into buffer; -1 on failure.
ssize_t read_process_file(int proc_fd, std::uint32_t id, const char* leaf, char* buffer,
                          std::size_t capacity, bool is_link) {
    char path[32];
    std::snprintf(path, sizeof path, "%u/%s", id, leaf);
    return is_link ? read_link_at(proc_fd, path, buffer, capacity)
                   : read_file_at(proc_fd, path, buffer, capacity);
}

bool equals(const std::u16string& entry, const char16_t* name) {
    std::size_t i = 0;
    for (; i < entry.size(); ++i) {
        if (name[i] != entry[i]) return false;
    }
    return name[i] == u'\0';
}

} // namespace

std::optional<std::string> read_image_name(int proc_fd, std::uint32_t id) {
    char comm_buffer[64];
    const ssize_t comm_size = read_process_file(proc_fd, id, "comm", comm_buffer, sizeof comm_buffer, false);
    if (comm_size < 0) return std::nullopt;
    const std::string_view comm = comm_from_file({comm_buffer, static_cast<std::size_t>(comm_size)});
    if (comm.size() != max_comm_length) return std::string(comm);

    // The comm may have been cut: look for the whole name in the
    // executable's path, then in argv[0].
    char path_buffer[PATH_MAX];
    const ssize_t link_size = read_process_file(proc_fd, id, "exe", path_buffer, sizeof path_buffer, true);
    if (link_size > 0) {
        const auto path = executable_path({path_buffer, static_cast<std::size_t>(link_size)});
        if (const auto name = long_name_from_path(comm, path)) return std::string(*name);
    }
    const ssize_t cmdline_size = read_process_file(proc_fd, id, "cmdline", path_buffer, sizeof path_buffer, false);
    if (cmdline_size > 0) {
        const auto argv0 = first_argument({path_buffer, static_cast<std::size_t>(cmdline_size)});
        if (const auto name = long_name_from_path(comm, argv0)) return std::string(*name);
    }
    return std::string(comm);
}

std::uint32_t find_process_id(const char16_t* name) {
    if (name == nullptr) return 0;
    const UniqueFd proc = open_proc();
    if (!proc.valid()) return 0;
    ProcessIds ids(proc.get());
    std::uint32_t id;
    while (ids.next(id)) {
        const auto image = read_image_name(proc.get(), id);
        if (image && equals(utf8_to_utf16(*image), name)) return id;
    }
    return 0;
}

std::optional<std::u16string> process_name(int proc_fd, std::uint32_t id) {
    const auto image = read_image_name(proc_fd, id);
    if (!image) return std::nullopt;
    return utf8_to_utf16(*image);
}

char16_t* process_name_by_id(int proc_fd, std::uint32_t id) {
    if (id == 0) return nullptr;
    const auto image = read_image_name(proc_fd, id);
    if (!image) return nullptr;
    return utf8_to_heap_utf16(*image);
}

} // namespace sockscope_detail
