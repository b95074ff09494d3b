// SPDX-License-Identifier: MIT
// A read-only view of BTF, the kernel's description of its own types (as
// /sys/kernel/btf/vmlinux gives it) and of a BPF object's (its .BTF
// section): the header, the type records and the strings. The records are
// numbered from 1 in the order they come (0 is void), and are read where
// they lie: the view only keeps where each one starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/btf.h>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sockscope_detail {

class BtfTypes {
public:
    // The view of `raw` (which must outlive it), or nullopt when it is not
    // BTF of this machine's byte order or does not hold together: a header
    // or record that runs past its section, a kind this code does not
    // know, a name outside the strings. Throws only std::bad_alloc.
    static std::optional<BtfTypes> parse(std::span<const std::byte> raw);

    // Type ids run from 1 to count() - 1.
    std::uint32_t count() const { return static_cast<std::uint32_t>(starts_.size()); }

    // The record of type `id` (1 <= id < count()); what follows it, by kind,
    // through the members below.
    const btf_type& type(std::uint32_t id) const;
    static unsigned kind(const btf_type& type) { return BTF_INFO_KIND(type.info); }
    static unsigned vlen(const btf_type& type) { return BTF_INFO_VLEN(type.info); }
    // The record with what follows it, as it lies in the section.
    std::span<const std::byte> record(std::uint32_t id) const;

    // The string at `offset` ("" where there is none).
    std::string_view text(std::uint32_t offset) const;
    std::string_view name(const btf_type& type) const { return text(type.name_off); }

    // A type looked up by name and kind: `id` is set to the first one so
    // named, or 0.
    struct Lookup {
        std::string_view name;
        unsigned kind;
        std::uint32_t id = 0;
    };
    // Looks all of `lookups` up in one pass over the types.
    void find(std::span<Lookup> lookups) const;

    // The size that a record of `type` takes in its section, with what
    // follows it; 0 for a kind that is not known here.
    static std::size_t record_size(const btf_type& type);

private:
    bool named(std::uint32_t offset, std::string_view wanted) const;
    BtfTypes(std::span<const std::byte> types, std::span<const char> strings) : types_(types), strings_(strings) {}

    std::span<const std::byte> types_;
    std::span<const char> strings_;
    std::vector<std::uint32_t> starts_; // [id]: offset of the record in types_; [0] unused
};

} // namespace sockscope_detail
