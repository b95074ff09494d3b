// SPDX-License-Identifier: MIT
// The C heap's entry points (malloc, calloc, realloc, free) replaced by
// ones that can be told to fail one allocation, on whichever thread makes
// it, and that count the blocks in use. A program that links this is built
// without sanitizers and run without valgrind, which replace them too.
#pragma once

namespace sockscope_test {

// Lets `count` more allocations succeed, then fails the next one; a
// negative count fails none.
void fail_allocation_after(long count);

// Whether the allocation asked for above has failed since.
bool allocation_failed();

// Blocks handed out and not yet freed.
long blocks_in_use();

} // namespace sockscope_test
