// SPDX-License-Identifier: MIT
#include "core/interface_zones.h"

#include <algorithm>
#include <cstring>

#include "core/conversions.h"

namespace sockscope_detail {
namespace {

bool printable_name(const char* name) {
    const std::size_t length = strnlen(name, interface_name_size);
    return length > 0 && length < interface_name_size &&
           std::all_of(name, name + length, [](char c) { return c > 0x20 && c < 0x7F; });
}

} // namespace

std::vector<std::uint32_t> zoned_interfaces(std::span<const SocketRow> rows) {
    std::vector<std::uint32_t> indices;
    for (const SocketRow& row : rows)
        if (row.family == Family::ipv6 && row.interface_index != 0 &&
            (needs_zone(row.local_address) || needs_zone(row.remote_address)))
            indices.push_back(row.interface_index);
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

void InterfaceZones::add(std::uint32_t index, const char* name) {
    Zone zone{index, {}};
    if (name != nullptr && printable_name(name)) {
        std::memcpy(zone.text, name, std::strlen(name) + 1);
    } else {
        const unsigned digits = digit_count(index);
        for (unsigned i = digits; i-- > 0; index /= 10) zone.text[i] = static_cast<char>('0' + index % 10);
        zone.text[digits] = '\0';
    }
    zones_.push_back(zone);
}

std::string_view InterfaceZones::find(std::uint32_t index) const {
    const auto at = std::lower_bound(zones_.begin(), zones_.end(), index,
                                     [](const Zone& zone, std::uint32_t wanted) { return zone.index < wanted; });
    if (at == zones_.end() || at->index != index) return {};
    return at->text;
}

} // namespace sockscope_detail
