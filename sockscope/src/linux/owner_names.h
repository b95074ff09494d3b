// SPDX-License-Identifier: MIT
// The names of a table's owners.
#pragma once

#include "core/result.h"
#include "core/socket_owners.h"
#include "linux/proc_fs.h"

namespace sockscope_detail {

// The image name of every owner, read through a handle to the owning
// process after checking through the same handle that it still holds the
// socket it was found holding. A process that ended since, a newcomer that
// took its id, and one whose name can't be read give no name: the row
// keeps its owner's id with no name. With `cgroups`, each one's cgroup path
// and container too (core/container_ids.h). Fails only when the caller's
// own resources do, or /proc can't be opened (core/result.h).
Result<OwnerNames> read_owner_names(const SocketOwners& owners, const ProcRoot& root, bool cgroups = false);

} // namespace sockscope_detail
