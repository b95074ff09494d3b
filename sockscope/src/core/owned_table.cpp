// SPDX-License-Identifier: MIT
#include "core/owned_table.h"

#include <algorithm>

namespace sockscope_detail {

const NamespaceOfRows* OwnedTable::namespace_of(const SocketRow& row) const {
    const auto at = std::lower_bound(namespaces.begin(), namespaces.end(), row.netns,
                                     [](const NamespaceOfRows& ns, std::uint64_t inode) { return ns.inode < inode; });
    return at != namespaces.end() && at->inode == row.netns ? &*at : nullptr;
}

std::string_view OwnedTable::zone_of(const SocketRow& row) const {
    const NamespaceOfRows* ns = namespace_of(row);
    return ns != nullptr ? ns->zones.find(row.interface_index) : std::string_view{};
}

} // namespace sockscope_detail
