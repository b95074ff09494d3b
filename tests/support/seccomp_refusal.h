// SPDX-License-Identifier: MIT
// A system call refused in this process and all it runs after, as sandboxes
// and container runtimes' seccomp profiles refuse them (root included).
#pragma once

#include <optional>

namespace sockscope_test {

// Refuses system call `number` with `error`; with `first_argument`, only
// calls whose first argument (its low 32 bits) is that. False when the
// filter can't be installed.
bool refuse_system_call(long number, int error, std::optional<unsigned> first_argument = std::nullopt);

} // namespace sockscope_test
