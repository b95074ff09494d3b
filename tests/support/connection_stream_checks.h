// SPDX-License-Identifier: MIT
// Connection streams for the live tests: opened for one test and closed at
// its end, read until the records the test waits for have come, and the
// named peer processes that make the connections.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "linux/connection_stream.h"

namespace sockscope_test {

using sockscope_detail::ConnectionRecord;

struct StreamCloser {
    void operator()(sockscope_detail::ConnectionStream* stream) const {
        sockscope_detail::close_connection_stream(stream);
    }
};
using Stream = std::unique_ptr<sockscope_detail::ConnectionStream, StreamCloser>;
using Records = std::vector<ConnectionRecord>;

// Opens a stream. When it can't be opened, `why_not` says why: "skip: ..."
// when this machine can't be expected to (built without BPF, no libbpf or
// BTF, not root, a kernel that refuses the programs), the fault otherwise.
Stream open_stream(const sockscope_detail::ConnectionStreamOptions& options, std::string& why_not);

// Reads `stream` until `enough(records so far)` or 10 s have passed,
// waiting on its descriptor; adds what the reads said was lost to *lost.
Records read_until(sockscope_detail::ConnectionStream* stream, const std::function<bool(const Records&)>& enough,
                   std::uint64_t* lost = nullptr);

// The records of this network namespace with either end on `address`
// (as inet_ntop writes it) and `port`, of `kind`. The stream has every
// namespace's connections, each namespace its own ports, and in this one
// another address may have the same port.
Records on_port(const Records& records, const std::string& address, unsigned port,
                sockscope_detail::ConnectionKind kind);

// Each record's owner side, counted.
std::size_t count_side(const Records& records, sockscope_detail::ConnectionSide side);

// An end's address as inet_ntop writes it.
std::string address_text(const ConnectionRecord& record, bool local);

// The connection peer program (test_programs/connection_peer.cpp) copied as
// `name`.
std::string connection_peer_named(const std::string& name);

// Runs `body` as the first process (number 1) of a new PID namespace, in a
// child that run_isolated made; returns what it returns, or the fault.
std::string run_as_pid_namespace_init(const std::function<std::string()>& body);

// The inode of this process's namespace of `kind` ("net", "pid").
std::uint64_t namespace_inode(const char* kind);

} // namespace sockscope_test
