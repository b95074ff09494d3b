// SPDX-License-Identifier: MIT
// Included before a skeleton that `bpftool gen skeleton` wrote, of which
// only the object's bytes are taken: the skeleton's helpers call libbpf
// directly, which the library never links (see libbpf_library.h). Nothing
// calls them, but unoptimised builds still emit them, so the libbpf
// functions they name are replaced by stand-ins that fail.
#pragma once

#include <bpf/libbpf.h>
#include <cerrno>

#define bpf_object__open_skeleton(skeleton, options) ((void)(skeleton), (void)(options), -EOPNOTSUPP)
#define bpf_object__load_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__attach_skeleton(skeleton) ((void)(skeleton), -EOPNOTSUPP)
#define bpf_object__detach_skeleton(skeleton) ((void)(skeleton))
#define bpf_object__destroy_skeleton(skeleton) ((void)(skeleton))
