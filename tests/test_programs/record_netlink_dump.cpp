// SPDX-License-Identifier: MIT
// Records a live TCP dump for the netlink parser's replay test:
//
//   record_netlink_dump OUT.bin OUT.txt
//
// It listens on 127.0.0.77, makes 200 connections to itself (so that the
// dump spans several datagrams), asks the kernel for the IPv4 TCP table
// with sequence number 1 and writes every datagram of the answer as a
// 32-bit length and its bytes. OUT.txt gets the number of IPv4 rows in the
// answer and the listener's port and inode (from fstat, independently of
// any parser).
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int fail(const char* what) {
    std::perror(what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT.bin OUT.txt\n", argv[0]);
        return 2;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F00004D); // 127.0.0.77
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 256) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail("listener");
    std::vector<int> held;
    for (int i = 0; i < 200; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return fail("connect");
        const int server = accept(listener, nullptr, nullptr);
        if (server < 0) return fail("accept");
        held.push_back(client);
        held.push_back(server);
    }

    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.request.sdiag_family = AF_INET;
    request.request.sdiag_protocol = IPPROTO_TCP;
    request.request.idiag_states = 0x1FFE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (fd < 0 || sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return fail("netlink");

    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return fail(argv[1]);
    std::vector<char> buffer(1 << 20);
    std::size_t rows = 0;
    for (bool done = false; !done;) {
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0) return fail("recv");
        const auto size = static_cast<std::uint32_t>(got);
        std::fwrite(&size, sizeof size, 1, out);
        std::fwrite(buffer.data(), 1, size, out);
        std::uint32_t left = size;
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) done = true;
            else if (static_cast<inet_diag_msg*>(NLMSG_DATA(header))->idiag_family == AF_INET) ++rows;
        }
    }
    std::fclose(out);

    struct stat listener_file;
    fstat(listener, &listener_file);
    FILE* facts = std::fopen(argv[2], "w");
    if (facts == nullptr) return fail(argv[2]);
    std::fprintf(facts, "rows %zu\nlistener %u %llu\n", rows, ntohs(address.sin_port),
                 static_cast<unsigned long long>(listener_file.st_ino));
    std::fclose(facts);
    return 0;
}
