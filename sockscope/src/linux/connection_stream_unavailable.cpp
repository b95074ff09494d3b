// SPDX-License-Identifier: MIT
// The library built without BPF support: no stream can be opened.
#include "linux/connection_stream.h"

#include <cerrno>

namespace sockscope_detail {

Result<ConnectionStream*> open_connection_stream(const ConnectionStreamOptions&) noexcept { return Failure{ENOTSUP}; }

Result<int> connection_stream_fd(const ConnectionStream*) noexcept { return Failure{EINVAL}; }

Result<std::size_t> read_connection_records(ConnectionStream*, ConnectionRecord*, std::size_t,
                                            std::uint64_t*) noexcept {
    return Failure{EINVAL};
}

void close_connection_stream(ConnectionStream*) noexcept {}

Result<ConnectionStreamDebug> connection_stream_debug(const ConnectionStream*) noexcept { return Failure{EINVAL}; }

} // namespace sockscope_detail
