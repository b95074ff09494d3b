// SPDX-License-Identifier: MIT
#include "core/btf_types.h"

#include <cstring>

namespace sockscope_detail {
namespace {

constexpr std::uint16_t btf_magic = 0xEB9F;

} // namespace

std::size_t BtfTypes::record_size(const btf_type& type) {
    const std::size_t n = vlen(type);
    std::size_t extra = 0;
    switch (kind(type)) {
    case BTF_KIND_INT:
    case BTF_KIND_VAR:
    case BTF_KIND_DECL_TAG: extra = 4; break;
    case BTF_KIND_ARRAY: extra = sizeof(btf_array); break;
    case BTF_KIND_STRUCT:
    case BTF_KIND_UNION: extra = n * sizeof(btf_member); break;
    case BTF_KIND_ENUM: extra = n * sizeof(btf_enum); break;
    case BTF_KIND_ENUM64: extra = n * sizeof(btf_enum64); break;
    case BTF_KIND_FUNC_PROTO: extra = n * sizeof(btf_param); break;
    case BTF_KIND_DATASEC: extra = n * sizeof(btf_var_secinfo); break;
    case BTF_KIND_PTR:
    case BTF_KIND_FWD:
    case BTF_KIND_TYPEDEF:
    case BTF_KIND_VOLATILE:
    case BTF_KIND_CONST:
    case BTF_KIND_RESTRICT:
    case BTF_KIND_FUNC:
    case BTF_KIND_FLOAT:
    case BTF_KIND_TYPE_TAG: break;
    default: return 0;
    }
    return sizeof(btf_type) + extra;
}

std::optional<BtfTypes> BtfTypes::parse(std::span<const std::byte> raw) {
    btf_header header;
    if (raw.size() < sizeof header) return std::nullopt;
    std::memcpy(&header, raw.data(), sizeof header);
    if (header.magic != btf_magic || header.version != 1 || header.hdr_len < sizeof header) return std::nullopt;
    const auto within = [&raw, &header](std::uint32_t offset, std::uint32_t length) {
        const std::uint64_t end = std::uint64_t{header.hdr_len} + offset + length;
        return end <= raw.size();
    };
    if (!within(header.type_off, header.type_len) || !within(header.str_off, header.str_len)) return std::nullopt;
    const std::byte* types = raw.data() + header.hdr_len + header.type_off;
    const auto* strings = reinterpret_cast<const char*>(raw.data() + header.hdr_len + header.str_off);
    // Records are read in place: they must lie on 4-byte boundaries, and the
    // strings must end with the terminator of the last one.
    if (reinterpret_cast<std::uintptr_t>(types) % alignof(btf_type) != 0 || header.type_len % 4 != 0) return std::nullopt;
    if (header.str_len == 0 || strings[header.str_len - 1] != '\0') return std::nullopt;

    BtfTypes view({types, header.type_len}, {strings, header.str_len});
    // Room for as many records as the section could hold, taken once: a
    // kernel's 100,000 types grew the list some twenty times, copying it
    // each time, at every stream's open. Pages never written cost nothing.
    view.starts_.reserve(header.type_len / sizeof(btf_type) + 1);
    view.starts_.push_back(0);
    for (std::size_t at = 0; at < header.type_len;) {
        if (header.type_len - at < sizeof(btf_type)) return std::nullopt;
        const auto& type = *reinterpret_cast<const btf_type*>(types + at);
        const std::size_t size = record_size(type);
        if (size == 0 || size > header.type_len - at || type.name_off >= header.str_len) return std::nullopt;
        view.starts_.push_back(static_cast<std::uint32_t>(at));
        at += size;
    }
    return view;
}

const btf_type& BtfTypes::type(std::uint32_t id) const {
    return *reinterpret_cast<const btf_type*>(types_.data() + starts_[id]);
}

std::span<const std::byte> BtfTypes::record(std::uint32_t id) const {
    return types_.subspan(starts_[id], record_size(type(id)));
}

std::string_view BtfTypes::text(std::uint32_t offset) const {
    if (offset >= strings_.size()) return {};
    return {strings_.data() + offset};
}

// Whether the string at `offset` is `wanted`, without measuring it first
// (find compares a name with every type's of the kinds it looks for). Every
// offset parse() let in lies inside the strings, which end with a '\0'.
bool BtfTypes::named(std::uint32_t offset, std::string_view wanted) const {
    if (offset >= strings_.size() || wanted.size() >= strings_.size() - offset) return false;
    const char* at = strings_.data() + offset;
    return std::memcmp(at, wanted.data(), wanted.size()) == 0 && at[wanted.size()] == '\0';
}

void BtfTypes::find(std::span<Lookup> lookups) const {
    std::uint32_t kinds = 0; // a bit per kind looked for
    for (Lookup& lookup : lookups) {
        lookup.id = 0;
        kinds |= 1u << (lookup.kind & 31);
    }
    std::size_t left = lookups.size();
    for (std::uint32_t id = 1; id < count() && left > 0; ++id) {
        const btf_type& candidate = type(id);
        if ((kinds >> kind(candidate) & 1) == 0) continue;
        for (Lookup& lookup : lookups) {
            if (lookup.id == 0 && lookup.kind == kind(candidate) && named(candidate.name_off, lookup.name)) {
                lookup.id = id;
                --left;
            }
        }
    }
}

} // namespace sockscope_detail
