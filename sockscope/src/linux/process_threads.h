// SPDX-License-Identifier: MIT
// A process runs as long as one of its threads does, and its main thread
// may end first (pthread_exit). /proc/<id> then shows that thread: a
// zombie's state, and an empty descriptor table (gone with it), while the
// other threads run on and hold the process's descriptors. Those are
// reached through /proc/<id>/task/<tid>.
#pragma once

#include <cstdint>

#include "linux/directory_entries.h"

namespace sockscope_detail {

// True with "<folder>/task/<tid>" of a thread of process `id` other than
// its main one, where `folder` is the process's folder relative to `dirfd`
// ("<id>" below the /proc root, "." from a handle to the process); false
// when it has none or its threads can't be read. Fails only when the
// caller's own resources do (core/result.h).
Result<bool> other_thread(int dirfd, const char* folder, std::uint32_t id, DirectoryBuffer& buffer,
                          char (&path)[48]);

} // namespace sockscope_detail
