// SPDX-License-Identifier: MIT
// sockscope --events: the machine's TCP connections as they close (and
// open, with --opens), read from the library's connection stream until
// SIGINT or SIGTERM.
#pragma once

#include "options.h"

namespace sockscope_tool {

// Runs it; returns the exit status: 0 when a signal ended it (after
// "N connections seen, M lost" on stderr), 1 when the stream could not be
// opened or read or the output could not be written.
int run_events(const Options& options, bool terminal);

} // namespace sockscope_tool
