// SPDX-License-Identifier: MIT
// What /proc shows of one process: its image name and whether it has ended,
// read through a handle to that process (see open_process), so that what is
// read is never a newcomer's that took its id.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "linux/directory_entries.h"

namespace sockscope_detail {

class ProcessImage {
public:
    struct Names {
        std::string_view image; // the whole name (see image_name.h)
        std::string_view comm;  // the kernel's, cut at 15 bytes
    };

    // The names of the process behind the handle `process`, whose id is
    // `id`, as the kernel's bytes, valid until the next call; nullopt when
    // the process has ended or its comm can't be read. Fails only when the
    // caller's own resources do (core/result.h).
    Result<std::optional<Names>> names(int process, std::uint32_t id);

    // Whether the process has ended: gone, or a zombie not yet reaped.
    Result<bool> has_ended(int process);

private:
    // Reused for every process, so reading many names allocates little.
    std::string file_;
    std::string link_;
    std::unique_ptr<DirectoryBuffer> threads_; // made when first needed
};

} // namespace sockscope_detail
