// SPDX-License-Identifier: MIT
// The zones of a table's scoped IPv6 addresses: for each interface index
// that such an address carries, the text after the '%' of "fe80::1%eth0".
// No system calls here; the names are read in linux/interface_names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/socket_row.h"

namespace sockscope_detail {

// The interfaces whose zones the texts of `rows` need: the index of every
// IPv6 row with an address that needs a zone, each once, ascending.
std::vector<std::uint32_t> zoned_interfaces(std::span<const SocketRow> rows);

class InterfaceZones {
public:
    // The zone of interface `index` (not 0), added in ascending order of
    // index. `name` is the interface's name, or null when it has none (it
    // was deleted while a socket still names it, or could not be read).
    // The zone is the name when that is 1 to interface_name_size - 1 printable
    // ASCII characters, as interface names are; otherwise the index in
    // decimal, which names the interface as well and can't carry a
    // terminal code into a listing.
    void add(std::uint32_t index, const char* name);

    // The zone of `index`; empty when none was added.
    std::string_view find(std::uint32_t index) const;

private:
    struct Zone {
        std::uint32_t index;
        char text[interface_name_size]; // null-terminated; a decimal index (10 digits at most) fits too
    };
    std::vector<Zone> zones_;
};

} // namespace sockscope_detail
