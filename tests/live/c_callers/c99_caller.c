/* SPDX-License-Identifier: MIT */
/* A C99 caller of the C interface: it listens on a loopback port, takes a
 * snapshot of that port's sockets, and checks what the snapshot says of its
 * own listener; the connection stream's header compiles as C99 too, and its
 * state names agree with the snapshot's. Exits 0 when all is right, 1
 * naming the fault. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sockscope/connections.h>
#include <sockscope/sockets.h>

static int fault(const char *what) {
    fprintf(stderr, "c99 caller: %s\n", what);
    return 1;
}

int main(void) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0)
        return fault("no listener");

    uint16_t port = ntohs(address.sin_port);
    struct sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
    selection.ports = &port;
    selection.port_count = 1;
    struct sockscope_snapshot *snapshot = sockscope_snapshot_take(&selection);
    if (snapshot == NULL) return fault(strerror(errno));

    struct stat file;
    fstat(listener, &file);
    int found = 0;
    for (size_t i = 0; i < snapshot->count; ++i) {
        const struct sockscope_socket *socket = sockscope_socket_at(snapshot, i);
        /* Its own by its inode: another process may listen on the same
         * port at another address. */
        if (socket->inode != (uint64_t)file.st_ino) continue;
        const struct sockscope_owner *owner = socket->owner_count == 1 ? sockscope_owner_at(snapshot, socket, 0) : NULL;
        found = socket->local_port == port && socket->state == SOCKSCOPE_LISTEN &&
                strcmp(socket->local_text, "127.0.0.1") == 0 && strcmp(socket->state_name, "LISTEN") == 0 &&
                owner != NULL && owner->pid == (uint32_t)getpid() && owner->fd == listener && owner->name != NULL;
    }
    sockscope_snapshot_free(snapshot);
    close(listener);
    const char *listen_name = sockscope_state_name(IPPROTO_TCP, SOCKSCOPE_LISTEN);
    if (listen_name == NULL || strcmp(listen_name, "LISTEN") != 0) return fault("the stream's state names differ");
    struct sockscope_stream_options options = SOCKSCOPE_STREAM_OPTIONS_INIT;
    if (options.size != sizeof options) return fault("the stream's options don't know their size");
    return found ? 0 : fault("its listener is not in the snapshot as it is");
}
