// SPDX-License-Identifier: MIT
// Compiled as C++11: the public header must stand alone in older callers.
#include <sockscope/sockscope.h>

std::uint32_t header_compiles_alone(sockscope& library) { return library.getProcessId(nullptr); }
