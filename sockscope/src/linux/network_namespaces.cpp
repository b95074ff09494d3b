// SPDX-License-Identifier: MIT
#include "linux/network_namespaces.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <fcntl.h>
#include <map>
#include <new>
#include <sched.h>
#include <sys/stat.h>
#include <system_error>

#include "linux/directory_entries.h"
#include "linux/interface_names.h"
#include "linux/library_thread.h"
#include "linux/socket_table_source.h"
#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// The inode of the namespace file `path` names (relative to `dirfd`); 0
// when it can't be looked at, a failure when the caller's resources fail.
Result<std::uint64_t> namespace_inode(int dirfd, const char* path) {
    struct stat file;
    if (::fstatat(dirfd, path, &file, 0) != 0) {
        if (fails_the_call(errno)) return Failure{errno};
        return std::uint64_t{0};
    }
    return static_cast<std::uint64_t>(file.st_ino);
}

// The id in a path "<proc root>/<id>/ns/net"; 0 for another path.
std::string process_folder(const std::string& path, const char* proc_root) {
    const std::string prefix = std::string(proc_root) + "/";
    if (path.rfind(prefix, 0) != 0 || !path.ends_with("/ns/net")) return {};
    return path.substr(0, path.size() - std::string_view("/ns/net").size());
}

// One namespace's tables, read by the calling thread, which enters it for
// good: the threads that call this are the library's own, and end after.
Result<void> read_one(const NetworkNamespace& ns, std::span<const TableRequest> tables, const SystemSources& sources,
                      NamespaceTables& out) {
    out.inode = ns.inode;
    const int fd = retrying([&] { return ::open(ns.path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        if (fails_the_call(errno)) return Failure{errno};
        out.skipped = !is_gone(errno);
        return {};
    }
    const UniqueFd file(fd);
    // A process's id may have gone to another process, in another
    // namespace, since the namespaces were listed.
    struct stat opened;
    if (::fstat(file.get(), &opened) != 0 || opened.st_ino != ns.inode) return {};

    SystemSources here = sources;
    std::string proc_view;
    if (::setns(file.get(), CLONE_NEWNET) == 0) {
        // Netlink now speaks for that namespace, and so does this
        // thread's own view of /proc/net, where netlink is refused.
        proc_view = std::string(sources.proc_root) + "/thread-self";
    } else {
        if (fails_the_call(errno)) return Failure{errno};
        // Not ours to enter: a process in it shows its tables, when the
        // caller may look at that process.
        proc_view = process_folder(ns.path, sources.proc_root);
        if (proc_view.empty()) {
            out.skipped = true;
            return {};
        }
        here.table = TableSource::proc_net;
    }
    here.proc_root = proc_view.c_str();
    if (const Result<void> read = read_socket_tables(tables, here, out.rows, out.table_ends); !read) {
        if (fails_the_call(read.error())) return read;
        out.skipped = !is_gone(read.error());
        return {};
    }
    for (SocketRow& row : out.rows) row.netns = ns.inode;
    if (here.table != TableSource::proc_net) {
        Result<InterfaceZones> zones = read_interface_zones(out.rows);
        if (!zones) return zones.failure();
        out.zones = std::move(zones).value();
    }
    return {};
}

} // namespace

std::uint64_t own_network_namespace(const ProcRoot& root) {
    const Result<int> fd = root.fd();
    if (!fd) return 0;
    const Result<std::uint64_t> inode = namespace_inode(*fd, "self/ns/net");
    return inode ? *inode : 0;
}

Result<std::vector<NetworkNamespace>> named_network_namespaces(const char* folder) {
    std::vector<NetworkNamespace> named;
    const int fd = retrying([&] { return ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) {
        if (fails_the_call(errno)) return Failure{errno};
        return named; // no folder: no names
    }
    const UniqueFd names(fd);
    DirectoryBuffer buffer;
    DirectoryEntries entries(names.get(), buffer);
    std::string_view name;
    for (;;) {
        const Result<bool> more = entries.next(name);
        if (!more && fails_the_call(more.error())) return more.failure();
        if (!more || !*more) break;
        const std::string file(name);
        const Result<std::uint64_t> inode = namespace_inode(names.get(), file.c_str());
        if (!inode) return inode.failure();
        if (*inode != 0) named.push_back({*inode, file, std::string(folder) + "/" + file});
    }
    std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.inode < b.inode; });
    return named;
}

Result<std::vector<NetworkNamespace>> other_network_namespaces(const ProcRoot& root, const SystemSources& sources) {
    const Result<int> root_fd = root.fd();
    if (!root_fd) return root_fd.failure();
    const std::uint64_t own = own_network_namespace(root);
    std::map<std::uint64_t, NetworkNamespace> found;
    DirectoryBuffer buffer;
    {
        ProcessIds ids(*root_fd, buffer);
        std::uint32_t id;
        for (;;) {
            const Result<bool> more = ids.next(id);
            if (!more) return more.failure();
            if (!*more) break;
            const ProcessPath path(id, "ns/net");
            const Result<std::uint64_t> inode = namespace_inode(*root_fd, path.c_str());
            if (!inode) return inode.failure();
            if (*inode == 0 || *inode == own || found.contains(*inode)) continue;
            found[*inode] = {*inode, {}, std::string(sources.proc_root) + "/" + path.c_str()};
        }
    }
    // Named namespaces, also those no process is in. Their files stand for
    // them better than a process's, whose id may go to another.
    Result<std::vector<NetworkNamespace>> named = named_network_namespaces(sources.netns_folder);
    if (!named) return named.failure();
    for (NetworkNamespace& ns : *named)
        if (ns.inode != own) found[ns.inode] = std::move(ns);
    std::vector<NetworkNamespace> namespaces;
    namespaces.reserve(found.size());
    for (auto& [inode, ns] : found) namespaces.push_back(std::move(ns));
    return namespaces;
}

Result<std::vector<NamespaceTables>> read_namespace_tables(std::span<const NetworkNamespace> namespaces,
                                                           std::span<const TableRequest> tables,
                                                           const SystemSources& sources, unsigned threads) {
    std::vector<NamespaceTables> results(namespaces.size());
    std::vector<Result<void>> outcomes(namespaces.size());
    std::vector<std::exception_ptr> exceptions(namespaces.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < namespaces.size();) {
            try {
                outcomes[i] = read_one(namespaces[i], tables, sources, results[i]);
            } catch (...) {
                exceptions[i] = std::current_exception();
            }
            if (!outcomes[i] || exceptions[i]) failed.store(true, std::memory_order_relaxed);
        }
    };
    // Every namespace is entered by a thread of the library's own, never by
    // the caller's: the caller's threads stay where they are.
    std::vector<LibraryThread> workers;
    workers.reserve(std::min<std::size_t>(std::max(threads, 1u), namespaces.size()));
    int no_thread = 0; // why the last thread could not be had
    while (workers.size() < workers.capacity()) {
        try {
            workers.emplace_back(work);
        } catch (const std::bad_alloc&) {
            no_thread = ENOMEM;
            break; // fewer threads do it
        } catch (const std::system_error& error) {
            no_thread = error.code().value();
            break;
        }
    }
    // Without a thread to enter a namespace with, the call fails.
    if (workers.empty() && !namespaces.empty()) return Failure{no_thread != 0 ? no_thread : EAGAIN};
    for (LibraryThread& worker : workers) worker.join();
    for (std::size_t i = 0; i < namespaces.size(); ++i) {
        if (exceptions[i]) std::rethrow_exception(exceptions[i]);
        if (!outcomes[i]) return outcomes[i].failure();
    }
    return results;
}

} // namespace sockscope_detail
