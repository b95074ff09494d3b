// SPDX-License-Identifier: MIT
// The one road every public member takes through a table:
//
//   read table -> keep the rows asked for -> owners -> names -> sort
//     -> interface names (IPv6 tables)
//
// The stages that touch the system live in linux/; this file only joins
// them. Records for callers are made from the result (snapshot_records.h).
#pragma once

#include "api/table_query.h"
#include "core/owned_table.h"
#include "core/result.h"
#include "core/system_sources.h"

namespace sockscope_detail {

// Fails when the system refuses what the answer needs (core/result.h);
// throws std::bad_alloc when memory runs out.
Result<OwnedTable> read_owned_table(const TableQuery& query, const SystemSources& sources);

} // namespace sockscope_detail
