// SPDX-License-Identifier: MIT
// A stand-in for libsockscope_x64.so.1 whose snapshots fail, as the real
// library's do when memory or descriptors run out: null, with errno set
// (SOCKSCOPE_STUB_ERRNO, default ENOMEM). Tests put its folder first in
// LD_LIBRARY_PATH to see how the programs report a failed snapshot.
#define SOCKSCOPE_BUILDING_LIBRARY
#include <cerrno>
#include <cstdlib>

#include <sockscope/sockets.h>
#include <sockscope/sockscope.h>

namespace {

int failure() {
    const char* chosen = std::getenv("SOCKSCOPE_STUB_ERRNO");
    return chosen != nullptr ? std::atoi(chosen) : ENOMEM;
}

} // namespace

std::uint32_t sockscope::getProcessId(const char16_t*) { return 0; }
std::uint32_t sockscope::getnetPort_gx2(const char16_t*) { return 0; }

statTCPROW* sockscope::getstat_tcp() {
    errno = failure();
    return nullptr;
}

statUDPROW* sockscope::getstat_udp() {
    errno = failure();
    return nullptr;
}

statTCPROW* sockscope::getstat_tcp6() {
    errno = failure();
    return nullptr;
}

statUDPROW* sockscope::getstat_udp6() {
    errno = failure();
    return nullptr;
}

void sockscope::getstat_free(statTCPROW*) {}
void sockscope::getstat_free(statUDPROW*) {}

extern "C" sockscope_snapshot* sockscope_snapshot_take(const sockscope_selection*) {
    errno = failure();
    return nullptr;
}

extern "C" void sockscope_snapshot_free(sockscope_snapshot*) {}

extern "C" sockscope_walk* sockscope_walk_start(const sockscope_selection*) {
    errno = failure();
    return nullptr;
}

extern "C" const sockscope_snapshot* sockscope_walk_header(const sockscope_walk*) { return nullptr; }
extern "C" const sockscope_socket* sockscope_walk_socket(sockscope_walk*, size_t) { return nullptr; }
extern "C" void sockscope_walk_end(sockscope_walk*) {}

extern "C" const char* sockscope_version(void) { return "0.0.0.0"; }

extern "C" int sockscope_expression_check(const char*, size_t*, const char**) { return 0; }
