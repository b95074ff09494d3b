// SPDX-License-Identifier: MIT
// The library built without the BPF iterator: owners always come from the
// /proc scan.
#include "linux/bpf_socket_holders.h"

#include <cerrno>

namespace sockscope_detail {

Result<SocketHolders> read_socket_holders() { return Failure{ENOTSUP}; }

bool socket_holders_may_be_read() { return false; }

bool socket_holders_loaded() { return false; }

} // namespace sockscope_detail
