// SPDX-License-Identifier: MIT
// Deleters for std::unique_ptr of what the library hands out, each given
// back by its own call: a connection stream, a batch of connections.
#pragma once

#include <sockscope/connections.h>

namespace sockscope_tool {

struct StreamCloser {
    void operator()(sockscope_stream* stream) const { sockscope_stream_close(stream); }
};
struct BatchFreer {
    void operator()(sockscope_connections* batch) const { sockscope_connections_free(batch); }
};

} // namespace sockscope_tool
