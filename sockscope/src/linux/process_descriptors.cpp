// SPDX-License-Identifier: MIT
#include "linux/process_descriptors.h"

namespace sockscope_detail {

bool descriptor_counts_reported(int root) {
    struct stat folder;
    return ::fstatat(root, "self/fd", &folder, 0) == 0 && folder.st_size > 0;
}

} // namespace sockscope_detail
