// SPDX-License-Identifier: MIT
// The part of the kernel's BTF that a BPF object's CO-RE relocations can be
// resolved against, for libbpf to read in place of the whole (its
// btf_custom_path). libbpf looks each relocated type up by scanning every
// type of the BTF it is given, some 125,000 for a kernel, once per type the
// object relocates: about a millisecond each, where this cut-down copy
// takes a few microseconds.
//
// Kept: every kernel type that libbpf would take as a candidate for a type
// that a relocation starts from (same name once a "___flavour" suffix is
// dropped, compatible kind), and all that those types hold by value: the types of members, array elements
// and index, typedef and qualifier targets, function prototypes' return and
// parameter types. A pointer is kept as a pointer, to its target when that
// is kept and to void otherwise: field relocations never look through a
// pointer (each step of a chain of reads is a relocation of its own).
// Types are numbered anew, so relocations that give a kernel type id
// (bpf_core_type_id_kernel) must not be resolved against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/btf_types.h"

namespace sockscope_detail {

// Raw BTF (header, types, strings) for relocations of `object` that start
// from the types `relocated` (ids in `object`) against `kernel`. Throws
// only std::bad_alloc.
std::vector<std::byte> relocation_btf(const BtfTypes& kernel, const BtfTypes& object,
                                      std::span<const std::uint32_t> relocated);

} // namespace sockscope_detail
