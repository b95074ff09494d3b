// SPDX-License-Identifier: MIT
#include "core/relocation_btf.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace sockscope_detail {
namespace {

// Whether libbpf takes a kernel type of kind `a` as a candidate for a
// relocated type of kind `b` (its btf_kind_core_compat).
bool compatible_kinds(unsigned a, unsigned b) {
    const auto any_enum = [](unsigned kind) { return kind == BTF_KIND_ENUM || kind == BTF_KIND_ENUM64; };
    return a == b || (any_enum(a) && any_enum(b));
}

// `name` without a flavour suffix, as libbpf compares names:
// "task_struct___old" is "task_struct" (the last "___" between two
// characters that are not underscores).
std::string_view essential_name(std::string_view name) {
    for (std::size_t i = name.size() >= 5 ? name.size() - 4 : 0; i-- > 0;) {
        if (name[i + 1] == '_' && name[i + 2] == '_' && name[i + 3] == '_' && name[i] != '_' && name[i + 4] != '_')
            return name.substr(0, i + 1);
    }
    return name;
}

template <typename Record>
Record* entries(std::byte* record) {
    return reinterpret_cast<Record*>(record + sizeof(btf_type));
}

template <typename Record>
const Record* entries(const std::byte* record) {
    return reinterpret_cast<const Record*>(record + sizeof(btf_type));
}

// Calls `follow` with each type that `id` holds by value (see the header).
template <typename Follow>
void held_types(const BtfTypes& btf, std::uint32_t id, Follow&& follow) {
    const btf_type& type = btf.type(id);
    const std::byte* record = btf.record(id).data();
    const unsigned n = BtfTypes::vlen(type);
    switch (BtfTypes::kind(type)) {
    case BTF_KIND_STRUCT:
    case BTF_KIND_UNION:
        for (unsigned i = 0; i < n; ++i) follow(entries<btf_member>(record)[i].type);
        break;
    case BTF_KIND_ARRAY:
        follow(entries<btf_array>(record)->type);
        follow(entries<btf_array>(record)->index_type);
        break;
    case BTF_KIND_FUNC_PROTO:
        follow(type.type);
        for (unsigned i = 0; i < n; ++i) follow(entries<btf_param>(record)[i].type);
        break;
    case BTF_KIND_TYPEDEF:
    case BTF_KIND_VOLATILE:
    case BTF_KIND_CONST:
    case BTF_KIND_RESTRICT:
    case BTF_KIND_TYPE_TAG: follow(type.type); break;
    default: break;
    }
}

// The names of the kept records, each once, by their offset in the source
// BTF (whose strings are unique). Kept in one open-addressed table rather
// than a node per name: a stream's open moves some two thousand names, and
// each allocation is one more way for the open to fail.
class StringTable {
public:
    explicit StringTable(const BtfTypes& source) : source_(source), slots_(1024) { text_.push_back('\0'); }

    // The new offset of the source's string at `offset` (0 for "").
    std::uint32_t add(std::uint32_t offset) {
        const std::string_view text = source_.text(offset);
        if (text.empty()) return 0;
        if (2 * (used_ + 1) > slots_.size()) grow();
        Slot& slot = find(slots_, offset);
        if (slot.from == 0) {
            slot = {offset, static_cast<std::uint32_t>(text_.size())};
            ++used_;
            text_.insert(text_.end(), text.begin(), text.end());
            text_.push_back('\0');
        }
        return slot.to;
    }

    const std::vector<char>& text() const { return text_; }

private:
    struct Slot {
        std::uint32_t from = 0; // 0: free (offset 0 is "", never kept)
        std::uint32_t to = 0;
    };

    static Slot& find(std::vector<Slot>& slots, std::uint32_t offset) {
        const std::size_t mask = slots.size() - 1;
        std::size_t at = (offset * std::uint64_t{0x9E3779B97F4A7C15}) >> 40 & mask;
        while (slots[at].from != 0 && slots[at].from != offset) at = (at + 1) & mask;
        return slots[at];
    }

    void grow() {
        std::vector<Slot> larger(slots_.size() * 2);
        for (const Slot& slot : slots_)
            if (slot.from != 0) find(larger, slot.from) = slot;
        slots_.swap(larger);
    }

    const BtfTypes& source_;
    std::vector<char> text_;
    std::vector<Slot> slots_; // a power of two, at most half full
    std::size_t used_ = 0;
};

// The kernel types that relocations from `relocated` may resolve to (named
// so, of a compatible kind), then all that they hold: a mark (1) per kept
// kernel type id, 0 for the others.
std::vector<std::uint32_t> kept_types(const BtfTypes& kernel, const BtfTypes& object,
                                      std::span<const std::uint32_t> relocated) {
    struct Wanted {
        std::string_view name;
        unsigned kind;
    };
    std::vector<Wanted> wanted;
    std::uint32_t wanted_kinds = 0; // bit per kind: the kernel's others are not even named
    for (const std::uint32_t id : relocated) {
        if (id == 0 || id >= object.count()) continue;
        const btf_type& type = object.type(id);
        if (type.name_off == 0) continue;
        wanted.push_back({essential_name(object.name(type)), BtfTypes::kind(type)});
        for (unsigned kind = 0; kind <= BTF_KIND_MAX; ++kind)
            if (compatible_kinds(kind, BtfTypes::kind(type))) wanted_kinds |= 1u << kind;
    }
    const auto is_wanted = [&wanted](std::string_view name, unsigned kind) {
        name = essential_name(name);
        return std::any_of(wanted.begin(), wanted.end(), [&](const Wanted& w) {
            return w.name.size() == name.size() && compatible_kinds(w.kind, kind) && w.name == name;
        });
    };

    std::vector<std::uint32_t> kept(kernel.count(), 0);
    std::vector<std::uint32_t> pending;
    const auto keep = [&](std::uint32_t id) {
        if (id != 0 && id < kernel.count() && kept[id] == 0) {
            kept[id] = 1;
            pending.push_back(id);
        }
    };
    for (std::uint32_t id = 1; id < kernel.count(); ++id) {
        const btf_type& type = kernel.type(id);
        const unsigned kind = BtfTypes::kind(type);
        if ((wanted_kinds >> kind & 1) != 0 && type.name_off != 0 && is_wanted(kernel.name(type), kind)) keep(id);
    }
    while (!pending.empty()) {
        const std::uint32_t id = pending.back();
        pending.pop_back();
        held_types(kernel, id, keep);
    }
    return kept;
}

// A kept type's record, copied to `record`, with its names moved into
// `strings` and its type references given the new ids.
template <typename Renumbered>
void rewrite_record(std::byte* record, StringTable& strings, Renumbered&& renumbered) {
    auto* type = reinterpret_cast<btf_type*>(record);
    type->name_off = strings.add(type->name_off);
    const unsigned n = BtfTypes::vlen(*type);
    // The record's entries (members, enumerators, parameters) of type
    // Entry: each name moved into `strings`, each type, where it has one,
    // given its new id.
    const auto rewrite_entries = [&]<typename Entry>(std::type_identity<Entry>) {
        for (unsigned i = 0; i < n; ++i) {
            Entry& entry = entries<Entry>(record)[i];
            entry.name_off = strings.add(entry.name_off);
            if constexpr (requires { entry.type; }) entry.type = renumbered(entry.type);
        }
    };
    switch (BtfTypes::kind(*type)) {
    case BTF_KIND_STRUCT:
    case BTF_KIND_UNION: rewrite_entries(std::type_identity<btf_member>{}); break;
    case BTF_KIND_ENUM: rewrite_entries(std::type_identity<btf_enum>{}); break;
    case BTF_KIND_ENUM64: rewrite_entries(std::type_identity<btf_enum64>{}); break;
    case BTF_KIND_ARRAY: {
        btf_array& array = *entries<btf_array>(record);
        array.type = renumbered(array.type);
        array.index_type = renumbered(array.index_type);
        break;
    }
    case BTF_KIND_FUNC_PROTO:
        type->type = renumbered(type->type);
        rewrite_entries(std::type_identity<btf_param>{});
        break;
    case BTF_KIND_PTR:
    case BTF_KIND_TYPEDEF:
    case BTF_KIND_VOLATILE:
    case BTF_KIND_CONST:
    case BTF_KIND_RESTRICT:
    case BTF_KIND_TYPE_TAG: type->type = renumbered(type->type); break;
    default: break;
    }
}

// Raw BTF: its header, then the type records, then the strings.
std::vector<std::byte> raw_btf(const std::vector<std::byte>& types, const std::vector<char>& strings) {
    btf_header header{};
    header.magic = 0xEB9F;
    header.version = 1;
    header.hdr_len = sizeof header;
    header.type_off = 0;
    header.type_len = static_cast<std::uint32_t>(types.size());
    header.str_off = header.type_len;
    header.str_len = static_cast<std::uint32_t>(strings.size());
    std::vector<std::byte> raw(sizeof header + types.size() + strings.size());
    std::memcpy(raw.data(), &header, sizeof header);
    std::memcpy(raw.data() + sizeof header, types.data(), types.size());
    std::memcpy(raw.data() + sizeof header + types.size(), strings.data(), strings.size());
    return raw;
}

} // namespace

std::vector<std::byte> relocation_btf(const BtfTypes& kernel, const BtfTypes& object,
                                      std::span<const std::uint32_t> relocated) {
    // Numbered anew in their old order; records copied with their names and
    // type references rewritten.
    std::vector<std::uint32_t> new_ids = kept_types(kernel, object, relocated);
    std::uint32_t next = 1;
    for (std::uint32_t& id : new_ids)
        if (id != 0) id = next++;
    const auto renumbered = [&new_ids](std::uint32_t id) { return id < new_ids.size() ? new_ids[id] : 0; };
    StringTable strings(kernel);
    std::size_t bytes = 0;
    for (std::uint32_t id = 1; id < kernel.count(); ++id)
        if (new_ids[id] != 0) bytes += kernel.record(id).size();
    std::vector<std::byte> types;
    types.reserve(bytes);
    for (std::uint32_t id = 1; id < kernel.count(); ++id) {
        if (new_ids[id] == 0) continue;
        const std::span<const std::byte> source = kernel.record(id);
        const std::size_t at = types.size();
        types.insert(types.end(), source.begin(), source.end());
        rewrite_record(types.data() + at, strings, renumbered);
    }
    return raw_btf(types, strings.text());
}

} // namespace sockscope_detail
