// SPDX-License-Identifier: MIT
// What every form of output lists: the sockets of a snapshot that the
// filter passes, with what their cells need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sockscope/sockets.h>

#include "socket_filter.h"
#include "taken_snapshot.h"
#include "user_names.h"

namespace sockscope_tool {

struct Listing {
    const TakenSnapshot& taken;
    const sockscope_snapshot& snapshot; // taken's header

    const SocketFilter& filter;
    UserNames& users;
    bool extended = false;
    bool namespaces = false; // -A: the columns Netns and Container
    std::uint32_t details = 0; // SOCKSCOPE_TCP_INFO, _TIMER, _MEMORY: -i, -o, -m
    // -K: only the sockets destroyed, by index in the snapshot (null: all
    // that the filter passes).
    const std::vector<bool>* destroyed = nullptr;

    // Calls `each(socket)` for every socket listed, in the snapshot's order.
    template <typename Each>
    void for_each(Each each) const {
        for (std::size_t i = 0; i < taken.count(); ++i) {
            const sockscope_socket& socket = taken.socket(i);
            if (filter.passes(snapshot, socket) && (destroyed == nullptr || (*destroyed)[i])) each(socket);
        }
    }

    std::size_t count() const {
        std::size_t listed = 0;
        for_each([&listed](const sockscope_socket&) { ++listed; });
        return listed;
    }
};

} // namespace sockscope_tool
