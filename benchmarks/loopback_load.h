// A load for benchmarks: established loopback TCP connections held open by
// child processes, and optionally idle processes that hold no sockets (only
// stdin, stdout and stderr, like a sleeping process). The children are
// forked from the calling program, live until the load is destroyed (or
// the program ends), and are always reaped.
#pragma once

#include <sys/types.h>
#include <vector>

namespace sockscope_bench {

class LoopbackLoad {
public:
    // `connections` connections (two sockets each, both ends in the same
    // child) spread over children of at most 2,000 connections, child k
    // listening on 127.0.0.(10 + k), with one bound UDP socket per ten
    // connections; plus `idle_processes` idle children.
    // Throws std::runtime_error when the load can't be set up within 60 s.
    LoopbackLoad(unsigned connections, unsigned idle_processes = 0);
    ~LoopbackLoad();
    LoopbackLoad(const LoopbackLoad&) = delete;
    LoopbackLoad& operator=(const LoopbackLoad&) = delete;

    // Rows the load adds to the TCP table: two per connection and one
    // listener per holding child.
    unsigned tcp_rows() const { return tcp_rows_; }

private:
    void start_child(bool idle, unsigned index, unsigned connections);

    std::vector<pid_t> children_;
    unsigned tcp_rows_ = 0;
};

} // namespace sockscope_bench
