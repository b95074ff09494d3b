// SPDX-License-Identifier: MIT
// The build compiles connections.bpf.c and has `bpftool gen skeleton`
// write its bytes into connections.skel.h; only those bytes are taken.
#include "connections_object.h"

#include "skeleton_stand_ins.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "connections.skel.h"
#pragma GCC diagnostic pop

namespace sockscope_detail {

std::span<const std::byte> connections_object() {
    std::size_t size = 0;
    const void* bytes = connections_bpf__elf_bytes(&size);
    return {static_cast<const std::byte*>(bytes), size};
}

} // namespace sockscope_detail
