// SPDX-License-Identifier: MIT
#include "linux/service_ports.h"

#include <netdb.h>
#include <netinet/in.h>

namespace sockscope_detail {

bool service_port(const std::string& name, std::uint16_t& port) {
    for (const char* protocol : {"tcp", "udp"}) {
        servent entry{}, *found = nullptr;
        char buffer[1024];
        if (getservbyname_r(name.c_str(), protocol, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            port = ntohs(static_cast<std::uint16_t>(found->s_port));
            return true;
        }
    }
    return false;
}

} // namespace sockscope_detail
