// SPDX-License-Identifier: MIT
// The build compiles socket_holders.bpf.c and has `bpftool gen skeleton`
// write its bytes into socket_holders.skel.h; only those bytes are taken.
#include "socket_holders_object.h"

#include "skeleton_stand_ins.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "socket_holders.skel.h"
#pragma GCC diagnostic pop

namespace sockscope_detail {

std::span<const std::byte> socket_holders_object() {
    std::size_t size = 0;
    const void* bytes = socket_holders_bpf__elf_bytes(&size);
    return {static_cast<const std::byte*>(bytes), size};
}

} // namespace sockscope_detail
