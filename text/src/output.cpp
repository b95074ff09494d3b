// SPDX-License-Identifier: MIT
#include "sockscope_text/output.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace sockscope_text {

int write_all(int fd, std::string_view text, const volatile std::sig_atomic_t* stop, std::size_t* written_in_all) {
    const std::size_t size = text.size();
    const auto done = [&](int error) {
        if (written_in_all != nullptr) *written_in_all = size - text.size();
        return error;
    };
    while (!text.empty()) {
        if (stop != nullptr && *stop) return done(EINTR);
        const ssize_t written = write(fd, text.data(), text.size());
        if (written >= 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            pollfd waiting{fd, POLLOUT, 0};
            if (poll(&waiting, 1, -1) >= 0) continue;
            error = errno;
        }
        if (error != EINTR) return done(error);
    }
    return done(0);
}

void report_error(std::string_view program, std::string_view what, int error) {
    std::string line(program);
    line += ": ";
    line += what;
    if (error != 0) {
        line += ": ";
        line += std::strerror(error);
    }
    line += '\n';
    write_all(STDERR_FILENO, line);
}

} // namespace sockscope_text
