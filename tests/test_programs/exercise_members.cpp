// SPDX-License-Identifier: MIT
// Calls every member of the library many times, for memory checkers:
//
//   exercise_members [ROUNDS]    (default 100)
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sockscope/sockscope.h>

namespace {

// A socket of this process on 127.0.0.1, so that the tables hold rows with
// an owner and a name.
int loopback_socket(int type) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (type == SOCK_STREAM) listen(fd, 1);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    const int listener = loopback_socket(SOCK_STREAM), udp = loopback_socket(SOCK_DGRAM);
    sockscope library;
    unsigned long rows = 0;
    for (int i = 0; i < rounds; ++i) {
        statTCPROW* tcp = library.getstat_tcp();
        rows += tcp[0].size;
        library.getstat_free(tcp);
        statUDPROW* udp = library.getstat_udp();
        rows += udp[0].size;
        library.getstat_free(udp);
        statTCPROW* tcp6 = library.getstat_tcp6();
        rows += tcp6[0].size;
        library.getstat_free(tcp6);
        statUDPROW* udp6 = library.getstat_udp6();
        rows += udp6[0].size;
        library.getstat_free(udp6);
        rows += library.getProcessId(u"exercise_members") != 0;
        rows += library.getnetPort_gx2(u"exercise_members");
        library.getProcessId(nullptr);
        library.getnetPort_gx2(u"");
    }
    std::printf("%d rounds, %lu rows\n", rounds, rows);
    close(listener);
    close(udp);
    return 0;
}
