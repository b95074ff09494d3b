// SPDX-License-Identifier: MIT
#include "api/table_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "api/owner_sources.h"
#include "core/row_order.h"
#include "linux/interface_names.h"
#include "linux/owner_names.h"
#include "linux/proc_fs.h"
#include "linux/proc_owner_scan.h"
#include "linux/socket_table_source.h"

namespace sockscope_detail {
namespace {

Result<OwnedTable> run_pipeline(const TableQuery& query, const SystemSources& sources, const ScanPlan& plan) {
    // With threads to spare, the owner scan starts first and runs while the
    // table is read; alone, it waits for the table so that the netlink
    // socket is closed before /proc is opened.
    std::optional<ProcRoot> root;
    std::unique_ptr<OwnerSource> owner_source;
    const auto make_source = [&] {
        root.emplace(sources.proc_root);
        owner_source = make_owner_source(*root, query.only_process, sources, plan);
    };
    if (plan.threads > 1) {
        make_source();
        owner_source->start();
    }

    OwnedTable table;
    std::vector<std::size_t> table_ends; // where each table's rows end
    for (const TableRequest& request : query.tables) {
        const auto first = static_cast<std::ptrdiff_t>(table.rows.size());
        if (const Result<void> read = read_socket_table(request, sources, table.rows); !read) return read.failure();
        if (query.keep != nullptr) {
            const auto unwanted = [&query](const SocketRow& row) { return !query.keep(row); };
            table.rows.erase(std::remove_if(table.rows.begin() + first, table.rows.end(), unwanted), table.rows.end());
        }
        table_ends.push_back(table.rows.size());
    }

    // Socket inodes are the machine's: one look for owners serves every
    // table.
    SocketOwners owners(table.rows, query.every_holder);
    if (!owners.all_owned()) { // some row has a socket a process may hold
        if (!owner_source) make_source();
        if (const Result<void> found = owner_source->find_owners(owners); !found) return found.failure();
        owners.apply(table.rows);
        table.unreadable_processes = owners.unreadable_processes();
        if (query.with_names) {
            Result<OwnerNames> names = read_owner_names(owners, *root);
            if (!names) return names.failure();
            table.names = std::move(names).value();
        }
    }
    std::size_t start = 0;
    for (const std::size_t end : table_ends) {
        sort_rows(std::span<SocketRow>(table.rows).subspan(start, end - start));
        start = end;
    }
    table.holders = owners.every_holder();
    return table;
}

Result<OwnedTable> read_rows_and_owners(const TableQuery& query, const SystemSources& sources) {
    Result<OwnedTable> table = run_pipeline(query, sources, full_speed_plan());
    // Short of descriptors: again, one step after the other, which needs
    // the fewest at a time.
    if (!table && (table.error() == EMFILE || table.error() == ENFILE)) return run_pipeline(query, sources, ScanPlan{});
    return table;
}

} // namespace

Result<OwnedTable> read_owned_table(const TableQuery& query, const SystemSources& sources) {
    Result<OwnedTable> table = read_rows_and_owners(query, sources);
    if (!table) return table;
    // After the owner scan has closed its descriptors, so that the one
    // socket this opens is the call's only descriptor at that time.
    Result<InterfaceZones> zones = read_interface_zones(table->rows);
    if (!zones) return zones.failure();
    table->zones = std::move(zones).value();
    return table;
}

} // namespace sockscope_detail
