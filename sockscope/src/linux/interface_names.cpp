// SPDX-License-Identifier: MIT
#include "linux/interface_names.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// The name of interface `index` into `name`; false when it has none we can
// read (ENODEV: deleted).
bool interface_name(int fd, std::uint32_t index, char (&name)[IF_NAMESIZE]) {
    ifreq request{};
    request.ifr_ifindex = static_cast<int>(index);
    if (::ioctl(fd, SIOCGIFNAME, &request) != 0) return false;
    std::memcpy(name, request.ifr_name, IF_NAMESIZE);
    name[IF_NAMESIZE - 1] = '\0';
    return true;
}

} // namespace

Result<InterfaceZones> read_interface_zones(std::span<const SocketRow> rows) {
    InterfaceZones zones;
    const std::vector<std::uint32_t> indices = zoned_interfaces(rows);
    if (indices.empty()) return zones;
    // Any socket answers SIOCGIFNAME for the namespace it was made in; a
    // local one needs no network protocol. A sandbox that refuses it leaves
    // the indices, which are zones as good.
    const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() && fails_the_call(errno)) return Failure{errno};
    for (const std::uint32_t index : indices) {
        char name[IF_NAMESIZE];
        zones.add(index, fd.valid() && interface_name(fd.get(), index, name) ? name : nullptr);
    }
    return zones;
}

} // namespace sockscope_detail
