// SPDX-License-Identifier: MIT
// The machine's network namespaces, and their tables. A namespace is known
// by its inode (of /proc/<id>/ns/net): every namespace a process is in,
// and those bind-mounted under /run/netns (the ones `ip netns` names), also
// when no process is in them. Each is opened once, checked to be a network
// namespace, and held until the call ends, so that no process ending
// meanwhile can take it away.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/interface_zones.h"
#include "core/result.h"
#include "core/socket_row.h"
#include "core/system_sources.h"
#include "core/table_request.h"
#include "linux/proc_fs.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

struct NetworkNamespace {
    std::uint64_t inode = 0; // 0: not known (see `view`)
    std::string name;        // its name under /run/netns; empty when it has none
    UniqueFd file;           // the namespace, opened for reading; none when the caller may not open it
    // Processes seen in it, lowest id first: their /proc/<id>/net/ shows
    // its tables to a caller who may not enter it.
    std::vector<std::uint32_t> processes;
    // The inode of /proc/<id>/net/dev of its processes, which each
    // namespace has of its own: what tells apart the namespaces of
    // processes whose /proc/<id>/ns/net the caller may not look at (inode
    // 0). 0 when not read.
    std::uint64_t view = 0;
};

// The caller's own network namespace, as /proc/self/ns/net's inode; 0 when
// /proc can't say.
std::uint64_t own_network_namespace(const ProcRoot& root);

// The network namespaces bind-mounted in `folder` (the ones `ip netns`
// names), each opened and held, ascending by inode; none when there is no
// such folder. An entry that is no network namespace (a file `ip netns
// add` has not mounted yet, a FIFO, a link to a device, another kind of
// namespace) is passed over, and is never opened for reading. Without
// `hold`, each is closed once looked at. Fails only when the caller's own
// resources do.
Result<std::vector<NetworkNamespace>> named_network_namespaces(const char* folder, bool hold = true);

// Opens the network namespace `name` in `folder` as named_network_namespaces
// does: invalid when that entry is none.
Result<UniqueFd> open_network_namespace(const char* folder, const char* name);

// Every other network namespace: those of the processes listed in /proc
// and those bind-mounted in `sources.netns_folder`, each once, ascending by
// inode, then those of processes whose namespace the caller may not look
// at, told apart by their `view`. `own_name` gets the caller's own
// namespace's name, if it has one. Without `hold` (a call short of
// descriptors) none is held: each is opened again when read, through its
// name or any process in it. Fails only when /proc can't be listed or the
// caller's own resources fail.
Result<std::vector<NetworkNamespace>> other_network_namespaces(const ProcRoot& root, const SystemSources& sources,
                                                               std::string& own_name, bool hold);

// The tables of one namespace, read where it is.
struct NamespaceTables {
    std::uint64_t inode = 0;
    SocketRows rows;         // each table's rows, one table after the other
    std::vector<std::size_t> table_ends;
    InterfaceZones zones;    // of its scoped addresses, by its interfaces
    std::uint64_t view = 0;  // the inode of its /proc/net/dev as read; 0 when not read
    bool skipped = false;    // the caller may neither enter it nor read a process's view of it
};

// The rows of `tables` in each of `namespaces`, read on up to `threads`
// threads of their own that each enter a namespace (setns through its held
// file, which takes CAP_SYS_ADMIN) and take the netlink dumps there, and
// where a namespace refuses, from /proc/<id>/net of any process in it that
// the caller may look at. A namespace that ended meanwhile has no rows;
// one that can't be read is marked skipped. Fails only when the caller's
// own resources do.
Result<std::vector<NamespaceTables>> read_namespace_tables(std::span<const NetworkNamespace> namespaces,
                                                           std::span<const TableRequest> tables,
                                                           const SystemSources& sources, unsigned threads);

} // namespace sockscope_detail
