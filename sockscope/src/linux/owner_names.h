// SPDX-License-Identifier: MIT
// The names of a table's owners.
#pragma once

#include "linux/proc_fs.h"
#include "core/socket_owners.h"

namespace sockscope_detail {

// The image name of every owner, read through a handle to the owning
// process after checking through the same handle that it still holds the
// socket it was found holding. A process that ended since, and a newcomer
// that took its id, give no name: the row keeps its owner's id with no name.
OwnerNames read_owner_names(const SocketOwners& owners, const ProcRoot& root);

} // namespace sockscope_detail
