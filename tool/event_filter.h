// SPDX-License-Identifier: MIT
// Which connection records --events prints: those of one network namespace
// (the caller's, or the one --netns names) or of every one (-A), of the
// families asked for, with a --port at either end, owned by a --pid, a
// process of that --name, or a container whose id starts with --container
// (letters in any case).
#pragma once

#include <cstdint>
#include <string>

#include <sockscope/connections.h>

#include "options.h"

namespace sockscope_tool {

class EventFilter {
public:
    // Keeps a reference to `options`: it must outlive the filter.
    // `network_namespace`: the inode a record's namespace must have; 0: any.
    EventFilter(const Options& options, std::uint64_t network_namespace);

    bool passes(const sockscope_connection& record) const;

private:
    const Options& options_;
    std::uint64_t network_namespace_;
};

// The inode of the network namespace whose records are printed: with -A, 0
// (every one); with --netns, the inode it gives or that of
// /run/netns/NAME; otherwise this process's own. 0 and an error message
// (for "sockscope: <message>") when it can't be found; a --container
// without -A or --netns looks in every namespace, as containers have
// namespaces of their own.
std::uint64_t namespace_to_show(const Options& options, std::string& error);

} // namespace sockscope_tool
