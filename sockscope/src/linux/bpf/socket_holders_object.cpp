// SPDX-License-Identifier: MIT
// The build compiles socket_holders.bpf.c and has `bpftool gen skeleton`
// write its bytes into socket_holders.skel.h. Only those bytes are taken
// from the skeleton; its helpers call libbpf directly, which the library
// never links (see libbpf_library.h). Nothing calls them, but unoptimised
// builds still emit one, so the libbpf functions the helpers name are
// replaced here by stand-ins that fail.
#include "socket_holders_object.h"

#include <bpf/libbpf.h>
#include <cerrno>

#define bpf_object__open_skeleton(skeleton, options) ((void)(skeleton), (void)(options), -EOPNOTSUPP)
#define bpf_object__load_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__attach_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__detach_skeleton(skeleton) ((void)(skeleton))
#define bpf_object__destroy_skeleton(skeleton) ((void)(skeleton))

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
