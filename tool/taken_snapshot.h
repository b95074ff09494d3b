// SPDX-License-Identifier: MIT
// A snapshot of the sockets a filter selects, given back to the library
// however the listing ends.
#pragma once

#include <memory>

#include <sockscope/sockets.h>

#include "socket_filter.h"

namespace sockscope_tool {

class TakenSnapshot {
public:
    // Takes the snapshot; when the filter passes nothing, holds an empty
    // one without asking the library.
    explicit TakenSnapshot(const SocketFilter& filter);

    // 0, or the errno value of a snapshot that failed (then get() is empty).
    int error() const { return error_; }
    const sockscope_snapshot& get() const { return taken_ ? *taken_ : empty_; }

private:
    struct Release {
        void operator()(sockscope_snapshot* snapshot) const { sockscope_snapshot_free(snapshot); }
    };
    std::unique_ptr<sockscope_snapshot, Release> taken_;
    sockscope_snapshot empty_{sizeof(sockscope_snapshot), sizeof(sockscope_socket), sizeof(sockscope_owner), 0, nullptr, 0, 0};
    int error_ = 0;
};

} // namespace sockscope_tool
