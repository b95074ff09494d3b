// SPDX-License-Identifier: MIT
// Checks that a snapshot is well formed, whatever the machine was doing
// while it was taken.
#pragma once

#include <gtest/gtest.h>

#include <sockscope/sockscope.h>

namespace sockscope_test {

// Every record carries the same size and the array holds that many;
// states and their names agree; addresses are dotted quads or IPv6 texts
// (a scoped one perhaps with its zone, "fe80::1%eth0"); ports fit in
// 16 bits; names are null or well-formed UTF-16.
::testing::AssertionResult well_formed(const statTCPROW* rows);
::testing::AssertionResult well_formed(const statUDPROW* rows);

} // namespace sockscope_test
