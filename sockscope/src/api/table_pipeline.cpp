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

    Result<SocketRows> rows = read_socket_table(query.protocol, query.family, sources);
    if (!rows) return rows.failure();
    OwnedTable table;
    table.rows = std::move(rows).value();
    if (query.keep != nullptr) std::erase_if(table.rows, [&query](const SocketRow& row) { return !query.keep(row); });

    SocketOwners owners(table.rows);
    if (!owners.all_owned()) { // some row has a socket a process may hold
        if (!owner_source) make_source();
        if (const Result<void> found = owner_source->find_owners(owners); !found) return found.failure();
        owners.apply(table.rows);
        if (query.with_names) {
            Result<OwnerNames> names = read_owner_names(owners, *root);
            if (!names) return names.failure();
            table.names = std::move(names).value();
        }
    }
    sort_rows(table.rows);
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
    if (!table || query.family != Family::ipv6) return table;
    // After the owner scan has closed its descriptors, so that the one
    // socket this opens is the call's only descriptor at that time.
    Result<InterfaceZones> zones = read_interface_zones(table->rows);
    if (!zones) return zones.failure();
    table->zones = std::move(zones).value();
    return table;
}

} // namespace sockscope_detail
