// SPDX-License-Identifier: MIT
// Only the object's bytes are taken from the skeleton that `bpftool gen
// skeleton` writes; its helpers, which call libbpf directly, are replaced
// by stand-ins that fail, as in socket_holders_object.cpp.
#include "connections_object.h"

#include <bpf/libbpf.h>
#include <cerrno>

#define bpf_object__open_skeleton(skeleton, options) ((void)(skeleton), (void)(options), -EOPNOTSUPP)
#define bpf_object__load_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__attach_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__detach_skeleton(skeleton) ((void)(skeleton))
#define bpf_object__destroy_skeleton(skeleton) ((void)(skeleton))

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
