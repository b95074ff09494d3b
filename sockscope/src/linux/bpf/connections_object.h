// SPDX-License-Identifier: MIT
// The compiled connections.bpf.c, embedded in the library: the ELF object
// that libbpf opens from memory and loads into the kernel.
#pragma once

#include <cstddef>
#include <span>

namespace sockscope_detail {

std::span<const std::byte> connections_object();

} // namespace sockscope_detail
