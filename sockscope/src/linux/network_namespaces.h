// SPDX-License-Identifier: MIT
// The machine's network namespaces, and their tables. A namespace is known
// by its inode (of /proc/<id>/ns/net): every namespace a process is in,
// and those bind-mounted under /run/netns (the ones `ip netns` names), also
// when no process is in them.
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

namespace sockscope_detail {

struct NetworkNamespace {
    std::uint64_t inode = 0;
    std::string name; // its name under /run/netns; empty when it has none
    std::string path; // a file that stands for it (/proc/<id>/ns/net, /run/netns/<name>)
};

// The caller's own network namespace, as /proc/self/ns/net's inode; 0 when
// /proc can't say.
std::uint64_t own_network_namespace(const ProcRoot& root);

// The namespaces bind-mounted in `folder` (the ones `ip netns` names),
// ascending by inode; none when there is no such folder. Fails only when
// the caller's own resources do.
Result<std::vector<NetworkNamespace>> named_network_namespaces(const char* folder);

// Every other network namespace: those of the processes listed in /proc
// (a process whose namespace the caller may not look at is passed over),
// and those bind-mounted in `sources.netns_folder`, each once, ascending
// by inode. Fails only when /proc can't be listed or the caller's own
// resources fail.
Result<std::vector<NetworkNamespace>> other_network_namespaces(const ProcRoot& root, const SystemSources& sources);

// The tables of one namespace, read where it is.
struct NamespaceTables {
    std::uint64_t inode = 0;
    SocketRows rows;         // each table's rows, one table after the other
    std::vector<std::size_t> table_ends;
    InterfaceZones zones;    // of its scoped addresses, by its interfaces
    bool skipped = false;    // the caller may neither enter it nor read a process's view of it
};

// The rows of `tables` in each of `namespaces`, read on up to `threads`
// threads of their own that each enter a namespace (setns, which takes
// CAP_SYS_ADMIN) and take the netlink dumps there, and where a namespace
// refuses, from /proc/<id>/net of a process in it. A namespace that ended
// meanwhile has no rows; one that can't be read is marked skipped. Fails
// only when the caller's own resources do.
Result<std::vector<NamespaceTables>> read_namespace_tables(std::span<const NetworkNamespace> namespaces,
                                                           std::span<const TableRequest> tables,
                                                           const SystemSources& sources, unsigned threads);

} // namespace sockscope_detail
