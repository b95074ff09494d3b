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
    // The image name (see image_name.h) of the process behind the handle
    // `process`, whose id is `id`, as the kernel's bytes, valid until the
    // next call; nullopt when the process has ended or its comm can't be
    // read. Fails only when the caller's own resources do (core/result.h).
    Result<std::optional<std::string_view>> name(int process, std::uint32_t id);

    // Whether the process has ended: gone, or a zombie not yet reaped.
    Result<bool> has_ended(int process);

private:
    // Reused for every process, so reading many names allocates little.
    std::string file_;
    std::string link_;
    std::unique_ptr<DirectoryBuffer> threads_; // made when first needed
};

} // namespace sockscope_detail
