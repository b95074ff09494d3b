// SPDX-License-Identifier: MIT
// Which sockets the command line asks for.
#pragma once

#include "options.h"
#include "listed_socket.h"

namespace sockscope_tool {

// True when `row` passes -l and every filter given (--port, --pid, --name).
// -l keeps TCP listeners; the UDP table does not say which sockets are
// connected, so it keeps every UDP socket. --name compares the name's UTF-8
// form with NAME byte for byte.
bool is_shown(const ListedSocket& row, const Options& options);

// True when some row has no owner although its state says a process holds
// it: the sign that the caller could not read other users' descriptors.
// TIME_WAIT and half-open (SYN received) connections have no owner anyway.
bool owners_were_hidden(const std::vector<ListedSocket>& rows);

// Whether this process may read every other process's descriptors, as the
// library reads them: with CAP_SYS_PTRACE in effect. Without it, root too
// is shut out of processes that hold capabilities it lacks.
bool may_inspect_every_process();

} // namespace sockscope_tool
