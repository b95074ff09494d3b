// SPDX-License-Identifier: MIT
// Ground truth for the BPF owner source's tests: the socket descriptors of a
// process as its /proc/<id>/fd links show them, the same from the
// iterator's records, and whether this machine can run the iterator.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "linux/bpf_socket_holders.h"

namespace sockscope_test {

// (descriptor number, socket inode) pairs.
using SocketDescriptors = std::set<std::pair<std::uint32_t, std::uint64_t>>;

// Every descriptor of `process` whose link reads "socket:[inode]".
SocketDescriptors socket_descriptors_from_proc(pid_t process);

// The records of one process.
SocketDescriptors socket_descriptors_of(const sockscope_detail::SocketHolders& holders,
                                        std::uint32_t process);

// The processes that hold `inode`, ascending.
std::vector<std::uint32_t> holders_of(const sockscope_detail::SocketHolders& holders,
                                      std::uint64_t inode);

// "" when records are well formed (a process id and an inode each, no
// descriptor of a process twice); what is wrong otherwise.
std::string malformed(const sockscope_detail::SocketHolders& holders);

// The inode of the socket behind descriptor `fd` of this process.
std::uint64_t socket_inode(int fd);

// Why this run can't expect the iterator to work ("" when it can): built
// without it, not privileged for BPF, no kernel BTF, or turned off in the
// environment.
std::string why_bpf_unavailable();

} // namespace sockscope_test
