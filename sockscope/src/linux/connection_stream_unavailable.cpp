// SPDX-License-Identifier: MIT
// The library built without BPF support: no stream can be opened.
#include "linux/connection_stream.h"

#include <cerrno>

namespace sockscope_detail {

ConnectionStream* open_connection_stream(const ConnectionStreamOptions&) noexcept {
    errno = ENOTSUP;
    return nullptr;
}

int connection_stream_fd(const ConnectionStream*) noexcept {
    errno = EINVAL;
    return -1;
}

long read_connection_records(ConnectionStream*, ConnectionRecord*, std::size_t, std::uint64_t*) noexcept {
    errno = EINVAL;
    return -1;
}

void close_connection_stream(ConnectionStream*) noexcept {}

bool connection_stream_debug(const ConnectionStream*, ConnectionStreamDebug*) noexcept {
    errno = EINVAL;
    return false;
}

} // namespace sockscope_detail
