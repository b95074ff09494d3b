// SPDX-License-Identifier: MIT
// Which sockets the command line asks for: what the library is asked to
// select (protocols, families, and the states and ports that the kernel
// filters), and the tests that only the tool can make (holders, names, and
// -l, whose states differ by protocol).
#pragma once

#include <cstdint>

#include <sockscope/sockets.h>

#include "options.h"

namespace sockscope_tool {

// Whether `text` starts with `start`, ASCII letters in any case (container
// ids are hexadecimal, and people type them either way).
bool starts_without_case(const char* text, const std::string& start);

class SocketFilter {
public:
    // Keeps a reference to `options` (its ports): it must outlive the filter.
    // `named_netns`: the inode of the namespace that --netns names, 0 when
    // none has that name.
    explicit SocketFilter(const Options& options, std::uint64_t named_netns = 0);

    // The selection to take a snapshot with.
    const sockscope_selection& selection() const { return selection_; }
    // True when no socket can pass (-l with --state established), so that
    // there is nothing to ask the library for: a selection with no states
    // would ask for every state.
    bool passes_nothing() const { return selection_.states == 0 && !every_state_; }

    // Whether a socket of the snapshot is listed: its state is one asked
    // for its protocol (-l: LISTEN for TCP, UNCONN for UDP), one of its
    // holders is one of the --pid values (0: it has none), and one of them
    // has the --name as its name or comm (byte for byte, UTF-8); its
    // namespace is the one --netns names, or has it as its name or inode;
    // one of its holders' container ids or names starts with the
    // --container, in any case.
    bool passes(const sockscope_snapshot& snapshot, const sockscope_socket& socket) const;

private:
    const Options& options_;
    sockscope_selection selection_ = SOCKSCOPE_SELECTION_INIT;
    std::uint32_t tcp_states_ = 0, udp_states_ = 0;
    bool every_state_ = false;
    std::uint64_t named_netns_ = 0, numbered_netns_ = 0; // 0: --netns is no such name, no number
};

// The network namespaces a snapshot of every namespace could not read
// (the caller lacks CAP_SYS_ADMIN and may not look at a process in them).
std::uint32_t skipped_namespaces(const sockscope_snapshot& snapshot);

} // namespace sockscope_tool
