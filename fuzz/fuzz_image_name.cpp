// SPDX-License-Identifier: MIT
// The image name builder on arbitrary comm, executable link and command
// line contents, split at the first two 0xFF bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/image_name.h"
#include "core/utf8.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const auto first = all.find('\xFF');
    const auto second = first == std::string_view::npos ? first : all.find('\xFF', first + 1);
    const std::string_view comm_file = all.substr(0, first);
    const std::string_view link = first == std::string_view::npos ? std::string_view() : all.substr(first + 1, second - first - 1);
    const std::string_view cmdline = second == std::string_view::npos ? std::string_view() : all.substr(second + 1);

    const std::string_view comm = comm_from_file(comm_file);
    for (const std::string_view path : {executable_path(link), first_argument(cmdline)}) {
        if (const auto name = long_name_from_path(comm, path)) {
            if (name->substr(0, comm.size()) != comm || name->size() <= comm.size()) std::abort();
            if (name->find('/') != std::string_view::npos) std::abort();
            std::free(utf8_to_heap_utf16(*name));
        }
    }
    return 0;
}
