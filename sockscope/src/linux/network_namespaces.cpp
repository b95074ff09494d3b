// SPDX-License-Identifier: MIT
#include "linux/network_namespaces.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <map>
#include <new>
#include <sched.h>
#include <linux/magic.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>

#include "linux/directory_entries.h"
#include "linux/interface_names.h"
#include "linux/library_thread.h"
#include "linux/socket_table_source.h"
#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// The inode of the file `path` names (relative to `dirfd`); 0 when it
// can't be looked at, a failure when the caller's resources fail.
Result<std::uint64_t> inode_of(int dirfd, const char* path) {
    struct stat file;
    if (::fstatat(dirfd, path, &file, 0) != 0) {
        if (fails_the_call(errno)) return Failure{errno};
        return std::uint64_t{0};
    }
    return static_cast<std::uint64_t>(file.st_ino);
}

// `path` (relative to `dirfd`) opened for reading when it is a network
// namespace; invalid when it is none or can't be opened. It is first
// opened with O_PATH, which opens nothing (a FIFO would block a reader, a
// device may act on being opened), and looked at; only a namespace file is
// then opened, through that descriptor, so that it is the file looked at.
Result<UniqueFd> open_namespace(int dirfd, const char* path) {
    const auto none = [](int error) -> Result<UniqueFd> {
        if (fails_the_call(error)) return Failure{error};
        return UniqueFd();
    };
    const int fd = retrying([&] { return ::openat(dirfd, path, O_PATH | O_CLOEXEC); });
    if (fd < 0) return none(errno);
    const UniqueFd looked(fd);
    struct statfs filesystem;
    if (::fstatfs(looked.get(), &filesystem) != 0) return none(errno);
    if (filesystem.f_type != NSFS_MAGIC) return UniqueFd();
    char again[40];
    std::snprintf(again, sizeof again, "/proc/self/fd/%d", looked.get());
    const int opened = retrying([&] { return ::open(again, O_RDONLY | O_CLOEXEC); });
    if (opened < 0) return none(errno);
    UniqueFd ns(opened);
    // Kernels before 4.11 can't say a namespace's kind: setns, which is
    // told CLONE_NEWNET, refuses another kind there.
    const int kind = ::ioctl(ns.get(), NS_GET_NSTYPE);
    if (kind < 0 && errno != ENOTTY) return none(errno);
    if (kind >= 0 && kind != CLONE_NEWNET) return UniqueFd();
    return ns;
}

} // namespace

Result<UniqueFd> open_network_namespace(const char* folder, const char* name) {
    const int fd = retrying([&] { return ::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) {
        if (fails_the_call(errno)) return Failure{errno};
        return UniqueFd();
    }
    const UniqueFd names(fd);
    return open_namespace(names.get(), name);
}

namespace {

// /proc/<id> of a process, as a handle to that one process.
Result<UniqueFd> process_handle(const char* proc_root, std::uint32_t id) {
    const std::string path = std::string(proc_root) + "/" + std::to_string(id);
    const int fd = retrying([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return Failure{errno};
    return UniqueFd(fd);
}

// Whether the process behind `process` is in `ns`: by the namespace's
// inode where known, else by its view.
Result<bool> process_in(int process, const NetworkNamespace& ns) {
    const Result<std::uint64_t> inode = inode_of(process, ns.inode != 0 ? "ns/net" : "net/dev");
    if (!inode) return inode.failure();
    return *inode != 0 && *inode == (ns.inode != 0 ? ns.inode : ns.view);
}

// Reads `tables` through `proc_view` (a /proc/<id> or /proc/thread-self
// folder) into `out`, and its view. False when that folder can't show them
// (its process ended, or is closed to the caller); `error` then says why.
Result<bool> read_through(std::string_view proc_view, std::span<const TableRequest> tables, SystemSources here,
                          NamespaceTables& out, int& error) {
    const std::string folder(proc_view);
    here.proc_root = folder.c_str();
    out.rows.clear();
    out.table_ends.clear();
    if (const Result<void> read = read_socket_tables(tables, here, out.rows, out.table_ends); !read) {
        if (fails_the_call(read.error())) return read.failure();
        error = read.error();
        return false;
    }
    const Result<std::uint64_t> view = inode_of(AT_FDCWD, (folder + "/net/dev").c_str());
    if (!view) return view.failure();
    out.view = *view;
    return true;
}

// A namespace not held (a call short of descriptors holds none) opened
// now, through its name or any process in it; invalid when none leads to
// it any longer.
Result<UniqueFd> open_now(const NetworkNamespace& ns, const SystemSources& sources) {
    const auto it = [&](const Result<UniqueFd>& opened) {
        struct stat file;
        return opened->valid() && ::fstat(opened->get(), &file) == 0 && file.st_ino == ns.inode;
    };
    if (ns.inode == 0) return UniqueFd();
    if (!ns.name.empty()) {
        Result<UniqueFd> opened = open_network_namespace(sources.netns_folder, ns.name.c_str());
        if (!opened || it(opened)) return opened;
    }
    for (const std::uint32_t id : ns.processes) {
        const std::string path = std::string(sources.proc_root) + "/" + std::to_string(id) + "/ns/net";
        Result<UniqueFd> opened = open_namespace(AT_FDCWD, path.c_str());
        if (!opened || it(opened)) return opened;
    }
    return UniqueFd();
}

// One namespace's tables, read by the calling thread, which enters it for
// good: the threads that call this are the library's own, and end after.
Result<void> read_one(const NetworkNamespace& ns, std::span<const TableRequest> tables, const SystemSources& sources,
                      NamespaceTables& out) {
    out.inode = ns.inode;
    int error = 0;
    Result<UniqueFd> opened_now = ns.file.valid() ? Result<UniqueFd>(UniqueFd()) : open_now(ns, sources);
    if (!opened_now) return opened_now.failure();
    const int file = ns.file.valid() ? ns.file.get() : opened_now->get();
    if (file >= 0) {
        if (::setns(file, CLONE_NEWNET) == 0) {
            // Netlink now speaks for that namespace, and so does this
            // thread's own view of /proc/net, where netlink is refused.
            const std::string own_view = std::string(sources.proc_root) + "/thread-self";
            const Result<bool> read = read_through(own_view, tables, sources, out, error);
            if (!read) return read.failure();
            if (*read) {
                for (SocketRow& row : out.rows) row.netns = ns.inode;
                Result<InterfaceZones> zones = read_interface_zones(out.rows);
                if (!zones) return zones.failure();
                out.zones = std::move(zones).value();
                return {};
            }
        } else if (fails_the_call(errno)) {
            return Failure{errno};
        }
    }
    // Not ours to enter: any process in it shows its tables, when the
    // caller may look at that process. The handle keeps to that process,
    // whose id may go to another meanwhile.
    SystemSources here = sources;
    here.table = TableSource::proc_net;
    bool refused = false;
    for (const std::uint32_t id : ns.processes) {
        Result<UniqueFd> process = process_handle(sources.proc_root, id);
        if (!process) {
            if (fails_the_call(process.error())) return process.failure();
            refused |= !is_gone(process.error());
            continue;
        }
        const Result<bool> in_it = process_in(process->get(), ns);
        if (!in_it) return in_it.failure();
        if (!*in_it) continue;
        const std::string view = std::string(sources.proc_root) + "/self/fd/" + std::to_string(process->get());
        const Result<bool> read = read_through(view, tables, here, out, error);
        if (!read) return read.failure();
        // Still there, and still in it, after the read.
        const Result<bool> stayed = process_in(process->get(), ns);
        if (!stayed) return stayed.failure();
        if (*read && *stayed) {
            for (SocketRow& row : out.rows) row.netns = ns.inode;
            return {};
        }
        refused |= !*read && !is_gone(error);
    }
    out.rows.clear();
    out.table_ends.clear();
    // A namespace nothing holds any longer has ended; one still there that
    // no way could read is skipped.
    out.skipped = refused || file >= 0;
    return {};
}

} // namespace

std::uint64_t own_network_namespace(const ProcRoot& root) {
    const Result<int> fd = root.fd();
    if (!fd) return 0;
    const Result<std::uint64_t> inode = inode_of(*fd, "self/ns/net");
    return inode ? *inode : 0;
}

Result<std::vector<NetworkNamespace>> named_network_namespaces(const char* folder, bool hold) {
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
        std::string file(name);
        Result<UniqueFd> ns = open_namespace(names.get(), file.c_str());
        if (!ns) return ns.failure();
        if (!ns->valid()) continue;
        struct stat opened;
        if (::fstat(ns->get(), &opened) != 0) return Failure{errno};
        if (!hold) ns->reset();
        named.push_back({static_cast<std::uint64_t>(opened.st_ino), std::move(file), std::move(ns).value(), {}, 0});
    }
    // By inode, and of two names of one namespace the first in byte order.
    std::sort(named.begin(), named.end(),
              [](const auto& a, const auto& b) { return a.inode != b.inode ? a.inode < b.inode : a.name < b.name; });
    return named;
}

Result<std::vector<NetworkNamespace>> other_network_namespaces(const ProcRoot& root, const SystemSources& sources,
                                                               std::string& own_name, bool hold) {
    const Result<int> root_fd = root.fd();
    if (!root_fd) return root_fd.failure();
    const std::uint64_t own = own_network_namespace(root);
    const Result<std::uint64_t> own_view = inode_of(*root_fd, "self/net/dev");
    if (!own_view) return own_view.failure();
    std::map<std::uint64_t, NetworkNamespace> found;   // by inode
    std::map<std::uint64_t, NetworkNamespace> unknown; // by view
    DirectoryBuffer buffer;
    {
        ProcessIds ids(*root_fd, buffer);
        std::uint32_t id;
        for (;;) {
            const Result<bool> more = ids.next(id);
            if (!more) return more.failure();
            if (!*more) break;
            const ProcessPath path(id, "ns/net");
            struct stat file;
            if (::fstatat(*root_fd, path.c_str(), &file, 0) != 0) {
                if (fails_the_call(errno)) return Failure{errno};
                if (errno != EACCES) continue; // ended
                // Its namespace is closed to the caller, its /proc/<id>/net
                // may not be: that tells its namespace apart, if not which.
                const Result<std::uint64_t> view = inode_of(*root_fd, ProcessPath(id, "net/dev").c_str());
                if (!view) return view.failure();
                if (*view == 0 || *view == *own_view) continue;
                NetworkNamespace& ns = unknown[*view];
                ns.view = *view;
                ns.processes.push_back(id);
                continue;
            }
            const std::uint64_t inode = file.st_ino;
            if (inode == own) continue;
            NetworkNamespace& ns = found[inode];
            ns.inode = inode;
            ns.processes.push_back(id);
            if (!hold || ns.file.valid()) continue;
            // Held from the first process that lets it be opened on, so
            // that this process ending can't take it from the others in it.
            Result<UniqueFd> opened = open_namespace(*root_fd, path.c_str());
            if (!opened) return opened.failure();
            struct stat held;
            if (opened->valid() && ::fstat(opened->get(), &held) == 0 && held.st_ino == inode)
                ns.file = std::move(opened).value();
        }
    }
    // Named namespaces, also those no process is in.
    Result<std::vector<NetworkNamespace>> named = named_network_namespaces(sources.netns_folder, hold);
    if (!named) return named.failure();
    for (NetworkNamespace& ns : *named) {
        if (ns.inode == own) {
            if (own_name.empty()) own_name = std::move(ns.name);
            continue;
        }
        NetworkNamespace& known = found[ns.inode];
        if (!known.name.empty()) continue;
        known.inode = ns.inode;
        known.name = std::move(ns.name);
        if (!known.file.valid()) known.file = std::move(ns.file);
    }
    std::vector<NetworkNamespace> namespaces;
    namespaces.reserve(found.size() + unknown.size());
    for (auto& [inode, ns] : found) namespaces.push_back(std::move(ns));
    for (auto& [view, ns] : unknown) namespaces.push_back(std::move(ns));
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
