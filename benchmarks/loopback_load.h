// SPDX-License-Identifier: MIT
// A load for benchmarks: established loopback TCP connections held open by
// child processes, and optionally idle processes that hold no sockets (only
// stdin, stdout and stderr, like a sleeping process). The children are
// forked from the calling program, live until the load is destroyed (or
// the program ends), and are always killed and reaped, also when setup
// fails half way.
#pragma once

#include "child_processes.h"
#include "load_plan.h"

namespace sockscope_bench {

class LoopbackLoad {
public:
    // `connections` connections (two sockets each, both ends in the same
    // child) laid out as plan_load says, with one bound UDP socket per ten
    // connections; plus `idle_processes` idle children. The idle children
    // start first, so that their ids come before the holders': an owner
    // scan that stops once every socket has its owner still passes them.
    // Throws std::runtime_error with the reason when the machine can't
    // carry the load, or a child fails to set up, or setup takes longer
    // than 30 s plus 2 ms per connection and 10 ms per idle process.
    LoopbackLoad(unsigned connections, unsigned idle_processes = 0);

    // Rows the load adds to the TCP table: two per connection and one
    // listener per holding child.
    unsigned tcp_rows() const { return tcp_rows_; }
    const LoadPlan& plan() const { return plan_; }

private:
    ChildProcesses children_;
    LoadPlan plan_;
    unsigned tcp_rows_ = 0;
};

} // namespace sockscope_bench
