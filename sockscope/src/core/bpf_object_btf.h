// SPDX-License-Identifier: MIT
// What a BPF object file (ELF, as clang and `bpftool gen object` write it)
// says of its types: its BTF (the .BTF section) and the types its CO-RE
// relocations start from (the .BTF.ext section's relocation records).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sockscope_detail {

struct ObjectBtf {
    // The .BTF section, copied (records are read in place, 4-byte aligned).
    std::vector<std::byte> btf;
    // Ids (in `btf`) of the types that CO-RE relocations start from, each
    // once, in the order first met.
    std::vector<std::uint32_t> relocated;
    // Whether a relocation needs more than the types' layout: a kernel type
    // id (BPF_CORE_TYPE_ID_TARGET), a deep match (BPF_CORE_TYPE_MATCHES) or
    // a kind unknown here.
    bool needs_whole_kernel_btf = false;
};

// Nullopt when `elf` is not a 64-bit little-endian ELF file whose .BTF and
// .BTF.ext sections (the latter may be absent: no relocations) lie within
// it and parse. Throws only std::bad_alloc.
std::optional<ObjectBtf> read_object_btf(std::span<const std::byte> elf);

} // namespace sockscope_detail
