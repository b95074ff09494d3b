// SPDX-License-Identifier: MIT
// What /proc shows of one process: its image name and whether it has ended,
// read through a handle to that process (see open_process), so that what is
// read is never a newcomer's that took its id.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sockscope_detail {

class ProcessImage {
public:
    // The image name (see image_name.h) as the kernel's bytes, valid until
    // the next call; nullopt when the process has ended. Throws
    // SystemFailure when the system refuses the reads.
    std::optional<std::string_view> name(int process);

    // Whether the process has ended: gone, or a zombie not yet reaped.
    bool has_ended(int process);

private:
    // Reused for every process, so reading many names allocates little.
    std::string file_;
    std::string link_;
};

} // namespace sockscope_detail
