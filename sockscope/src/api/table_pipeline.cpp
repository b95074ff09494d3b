// SPDX-License-Identifier: MIT
#include "api/table_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "api/owner_sources.h"
#include "core/row_order.h"
#include "linux/interface_names.h"
#include "linux/network_namespaces.h"
#include "linux/owner_names.h"
#include "linux/proc_fs.h"
#include "linux/proc_owner_scan.h"
#include "linux/socket_table_source.h"

namespace sockscope_detail {
namespace {

// Appends to `table` the rows of the tables in `tables` that `query`
// keeps, each table's end to `table_ends`.
Result<void> read_tables(const TableQuery& query, const SystemSources& sources, OwnedTable& table,
                         std::vector<std::size_t>& table_ends) {
    std::vector<std::size_t> ends;
    std::size_t kept = table.rows.size(), start = kept;
    if (const Result<void> read = read_socket_tables(query.tables, sources, table.rows, ends); !read) return read;
    for (const std::size_t end : ends) {
        for (std::size_t i = start; i < end; ++i)
            if (query.keep == nullptr || query.keep(table.rows[i])) table.rows[kept++] = table.rows[i];
        start = end;
        table_ends.push_back(kept);
    }
    table.rows.resize(kept);
    return {};
}

// Appends the tables of every other network namespace, read by threads
// that enter them while the owner scan goes on, and names the caller's own.
Result<void> read_other_namespaces(const TableQuery& query, const SystemSources& sources, const ProcRoot& root,
                                   const ScanPlan& plan, bool hold, OwnedTable& table,
                                   std::vector<std::size_t>& table_ends) {
    std::string own_name;
    const Result<std::vector<NetworkNamespace>> others = other_network_namespaces(root, sources, own_name, hold);
    if (!others) return others.failure();
    table.namespaces.front().name = std::move(own_name);
    Result<std::vector<NamespaceTables>> read = read_namespace_tables(*others, query.tables, sources, plan.threads);
    if (!read) return read.failure();
    // A namespace known only by what a process's /proc/<id>/net shows may
    // be one read by its inode too: its rows are those.
    std::vector<std::uint64_t> views;
    for (const NamespaceTables& tables : *read)
        if (tables.inode != 0 && tables.view != 0) views.push_back(tables.view);
    std::sort(views.begin(), views.end());
    for (std::size_t i = 0; i < others->size(); ++i) {
        NamespaceTables& tables = (*read)[i];
        if (tables.inode == 0 && std::binary_search(views.begin(), views.end(), tables.view)) continue;
        if (tables.skipped) ++table.skipped_namespaces;
        const std::size_t first = table.rows.size();
        table.rows.insert(table.rows.end(), tables.rows.begin(), tables.rows.end());
        for (const std::size_t end : tables.table_ends) table_ends.push_back(first + end);
        if (tables.inode != 0) table.namespaces.push_back({tables.inode, (*others)[i].name, std::move(tables.zones)});
    }
    return {};
}

// `hold`: each other namespace is held open from when it is found (one
// descriptor each); without, opened again when read.
Result<OwnedTable> run_pipeline(const TableQuery& query, const SystemSources& sources, const ScanPlan& plan,
                                bool hold) {
    // With threads to spare, the owner scan starts first and runs while the
    // table is read; alone, it waits for the table so that the netlink
    // socket is closed before /proc is opened.
    const ProcRoot root(sources.proc_root);
    std::unique_ptr<OwnerSource> owner_source;
    const auto make_source = [&] { owner_source = make_owner_source(root, query.only_process, sources, plan); };
    if (plan.threads > 1) {
        make_source();
        owner_source->start();
    }

    OwnedTable table;
    table.details = query.details;
    std::vector<std::size_t> table_ends; // where each table's rows end
    const std::uint64_t own = own_network_namespace(root);
    table.namespaces.push_back({own, {}, {}});
    if (const Result<void> read = read_tables(query, sources, table, table_ends); !read) return read.failure();
    for (SocketRow& row : table.rows) row.netns = own;
    if (query.all_namespaces) {
        const Result<void> read = read_other_namespaces(query, sources, root, plan, hold, table, table_ends);
        if (!read) return read.failure();
        std::sort(table.namespaces.begin(), table.namespaces.end(),
                  [](const NamespaceOfRows& a, const NamespaceOfRows& b) { return a.inode < b.inode; });
    }

    // Socket inodes are the machine's: one look for owners serves every
    // table of every namespace. Its arrays go before the rows are sorted,
    // which makes arrays of its own.
    {
        SocketOwners owners(table.rows, query.every_holder);
        if (!owners.all_owned()) { // some row has a socket a process may hold
            if (!owner_source) make_source();
            if (const Result<void> found = owner_source->find_owners(owners); !found) return found.failure();
            owners.apply(table.rows);
            table.unreadable_processes = owners.unreadable_processes();
            if (query.with_names) {
                Result<OwnerNames> names = read_owner_names(owners, root, query.every_holder);
                if (!names) return names.failure();
                table.names = std::move(names).value();
            }
        }
        table.holders = owners.every_holder();
        owner_source.reset(); // and what it read
    }
    // Each table in order and once: its rows move down over the repeats
    // dropped before it.
    std::size_t start = 0, kept = 0;
    for (std::size_t& end : table_ends) {
        const std::span<SocketRow> rows = std::span<SocketRow>(table.rows).subspan(start, end - start);
        sort_rows(rows);
        const std::size_t left = drop_repeated_rows(rows);
        if (kept != start)
            std::copy(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(left),
                      table.rows.begin() + static_cast<std::ptrdiff_t>(kept));
        start = end;
        kept += left;
        end = kept;
    }
    table.rows.resize(kept);
    table.own_rows = query.tables.empty() ? 0 : table_ends[query.tables.size() - 1];
    return table;
}

Result<OwnedTable> read_rows_and_owners(const TableQuery& query, const SystemSources& sources) {
    Result<OwnedTable> table = run_pipeline(query, sources, full_speed_plan(), true);
    // Short of descriptors: again, one step after the other and holding no
    // namespace, which needs the fewest at a time.
    if (!table && (table.error() == EMFILE || table.error() == ENFILE))
        return run_pipeline(query, sources, ScanPlan{}, false);
    return table;
}

} // namespace

Result<OwnedTable> read_owned_table(const TableQuery& query, const SystemSources& sources) {
    Result<OwnedTable> table = read_rows_and_owners(query, sources);
    if (!table) return table;
    // The zones of the caller's own namespace (other namespaces' came with
    // their tables), after the owner scan has closed its descriptors, so
    // that the one socket this opens is the call's only descriptor then.
    const std::span<const SocketRow> own_rows(table->rows.data(), table->own_rows);
    Result<InterfaceZones> zones = read_interface_zones(own_rows);
    if (!zones) return zones.failure();
    for (NamespaceOfRows& ns : table->namespaces)
        if (!own_rows.empty() && ns.inode == own_rows.front().netns) ns.zones = std::move(zones).value();
    return table;
}

} // namespace sockscope_detail
