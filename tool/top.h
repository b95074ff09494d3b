// SPDX-License-Identifier: MIT
// sockscope --top: connections and bytes a second per process (or
// container), looked at every interval until q, Ctrl-C or SIGTERM.
#pragma once

#include "options.h"

namespace sockscope_tool {

// Runs it; returns the exit status: 0 when the user or a signal ended it,
// 1 when a snapshot failed or the output could not be written. `terminal`:
// the standard output is one (a screen redrawn in place; otherwise, as
// with --json, a frame after another).
int run_top(const Options& options, bool terminal);

} // namespace sockscope_tool
