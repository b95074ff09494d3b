// SPDX-License-Identifier: MIT
#include "core/bpf_object_btf.h"

#include <algorithm>
#include <cstring>
#include <elf.h>
#include <linux/bpf.h>
#include <string_view>

namespace sockscope_detail {
namespace {

// The .BTF.ext header (libbpf's struct btf_ext_header): offsets count
// from its end. Relocations are in its optional second part.
struct BtfExtHeader {
    std::uint16_t magic;
    std::uint8_t version;
    std::uint8_t flags;
    std::uint32_t hdr_len;
    std::uint32_t func_info_off;
    std::uint32_t func_info_len;
    std::uint32_t line_info_off;
    std::uint32_t line_info_len;
    std::uint32_t core_relo_off;
    std::uint32_t core_relo_len;
};

template <typename T>
bool read_at(std::span<const std::byte> bytes, std::uint64_t offset, T& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof value) return false;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return true;
}

// The sections named .BTF and .BTF.ext; empty when absent.
bool find_sections(std::span<const std::byte> elf, std::span<const std::byte>& btf, std::span<const std::byte>& ext) {
    Elf64_Ehdr header;
    if (!read_at(elf, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum)
        return false;
    const auto section = [&](unsigned index, Elf64_Shdr& found) {
        return read_at(elf, header.e_shoff + std::uint64_t{index} * sizeof(Elf64_Shdr), found);
    };
    const auto contents = [&elf](const Elf64_Shdr& found, std::span<const std::byte>& bytes) {
        if (found.sh_type == SHT_NOBITS || found.sh_offset > elf.size() || elf.size() - found.sh_offset < found.sh_size)
            return false;
        bytes = elf.subspan(found.sh_offset, found.sh_size);
        return true;
    };
    Elf64_Shdr names_header;
    std::span<const std::byte> names;
    if (!section(header.e_shstrndx, names_header) || !contents(names_header, names)) return false;
    for (unsigned index = 0; index < header.e_shnum; ++index) {
        Elf64_Shdr found;
        if (!section(index, found) || found.sh_name >= names.size()) return false;
        const auto* text = reinterpret_cast<const char*>(names.data()) + found.sh_name;
        const std::string_view name(text, ::strnlen(text, names.size() - found.sh_name));
        if (name == ".BTF" && !contents(found, btf)) return false;
        if (name == ".BTF.ext" && !contents(found, ext)) return false;
    }
    return !btf.empty();
}

} // namespace

std::optional<ObjectBtf> read_object_btf(std::span<const std::byte> elf) {
    std::span<const std::byte> btf, ext;
    if (!find_sections(elf, btf, ext)) return std::nullopt;
    ObjectBtf object;
    object.btf.assign(btf.begin(), btf.end());
    if (ext.empty()) return object;

    BtfExtHeader header{};
    if (!read_at(ext, 0, header.magic) || !read_at(ext, 4, header.hdr_len) || header.magic != 0xEB9F ||
        header.hdr_len > ext.size())
        return std::nullopt;
    // Headers older than the relocations' part end before it: none then.
    if (header.hdr_len < sizeof header) return object;
    std::memcpy(&header, ext.data(), sizeof header);
    const std::uint64_t start = std::uint64_t{header.hdr_len} + header.core_relo_off;
    if (start > ext.size() || ext.size() - start < header.core_relo_len) return std::nullopt;
    const std::span<const std::byte> relocations = ext.subspan(start, header.core_relo_len);
    if (relocations.empty()) return object;

    // The record size, then per program section: its name, how many
    // records, and the records.
    std::uint32_t record_size = 0;
    if (!read_at(relocations, 0, record_size) || record_size < sizeof(bpf_core_relo)) return std::nullopt;
    for (std::uint64_t at = sizeof record_size; at < relocations.size();) {
        std::uint32_t section[2]; // name offset, record count
        if (!read_at(relocations, at, section)) return std::nullopt;
        at += sizeof section;
        if (std::uint64_t{section[1]} * record_size > relocations.size() - at) return std::nullopt;
        for (std::uint32_t i = 0; i < section[1]; ++i, at += record_size) {
            bpf_core_relo record;
            std::memcpy(&record, relocations.data() + at, sizeof record);
            if (record.kind == BPF_CORE_TYPE_ID_TARGET || record.kind >= BPF_CORE_TYPE_MATCHES)
                object.needs_whole_kernel_btf = true;
            if (std::find(object.relocated.begin(), object.relocated.end(), record.type_id) == object.relocated.end())
                object.relocated.push_back(record.type_id);
        }
    }
    return object;
}

} // namespace sockscope_detail
