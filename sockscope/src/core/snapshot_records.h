// SPDX-License-Identifier: MIT
// The public records made from an owned table: texts for addresses, host
// order for ports, state names, the owner's image name as UTF-16. A
// snapshot is whole or nothing.
#pragma once

#include <sockscope/sockscope.h>

#include "core/owned_table.h"

namespace sockscope_detail {

// A new array of the table's rows in their order: never shorter than one
// record (an empty table is one zero-filled record with size 0). When an
// allocation fails, whatever was built is released and std::bad_alloc is
// thrown: no caller ever sees a record with a text missing.
statTCPROW* make_tcp_records(const OwnedTable& table);
statUDPROW* make_udp_records(const OwnedTable& table);

// Release an array and every text in it; null does nothing.
void free_records(statTCPROW* records);
void free_records(statUDPROW* records);

} // namespace sockscope_detail
