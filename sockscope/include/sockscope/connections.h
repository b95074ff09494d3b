/* SPDX-License-Identifier: MIT */
/* sockscope's live stream of the machine's TCP connections, each with the
 * process that made it: one record when a connection closes (and, when
 * asked, one when it opens), also for connections that lived for a
 * millisecond between two snapshots. Part of libsockscope_x64.so.1 (since
 * 1.2); compiles as C99 and as C++.
 *
 *     struct sockscope_stream *stream = sockscope_stream_open(NULL);
 *     if (stream == NULL) { perror("sockscope"); return 1; }
 *     struct pollfd wait = {sockscope_stream_fd(stream), POLLIN, 0};
 *     while (poll(&wait, 1, -1) > 0) {
 *         struct sockscope_connections *batch = sockscope_stream_read(stream, 4096);
 *         if (batch == NULL) break;
 *         for (size_t i = 0; i < batch->count; ++i) {
 *             const struct sockscope_connection *c = sockscope_connection_at(batch, i);
 *             printf("%u %s %s:%u\n", c->pid, c->name ? c->name : "-", c->remote_text, c->remote_port);
 *         }
 *         sockscope_connections_free(batch);
 *     }
 *     sockscope_stream_close(stream);
 *
 * Privilege: opening a stream loads a BPF program, which takes CAP_BPF with
 * CAP_PERFMON, or CAP_SYS_ADMIN, in the initial user namespace; without
 * them the open fails with EPERM, never a stream that stays empty.
 *
 * The library runs no thread of its own. Records wait in kernel memory (a
 * ring buffer of a fixed size) until read; the stream's descriptor is
 * readable while they do (level-triggered, for poll and epoll). A reader
 * that lets records gather for a few milliseconds after the descriptor
 * becomes readable costs the machine far less than one that reads each
 * record as it comes. When the buffer is full, records are dropped in the
 * kernel and counted: each batch says how many were lost since the
 * previous one. Never hidden.
 *
 * Owners. A connection's owner is taken only at a moment when the process
 * doing it is the socket's owner for certain, and `owner_source` says
 * which:
 *   connect   the process that called connect() (or a fast-open send);
 *   listen    the process that called listen();
 *   accept    the process whose accept returned the socket, where the
 *             kernel lets a program run at its accept function's exit
 *             (common distribution kernels), or with
 *             SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT (accept and accept4;
 *             io_uring's accepts are not seen there, and those sockets take
 *             their owner from their close);
 *   first call  elsewhere, the process whose send or receive call on the
 *             accepted socket came first: the one that accepted it, or
 *             one it handed it to;
 *   listener  an accepted socket with no such call yet (or on a kernel
 *             without those tracepoints, before 6.3): the owner of its
 *             listener; its close call, when it has one, replaces it;
 *   snapshot  a socket open when the stream started: the process that held
 *             it then (the lowest-numbered when several did);
 *   close     a socket without an owner so far: the process whose call on
 *             the socket began its close.
 * Never the process that happens to run when the kernel handles a packet:
 * on loopback an accepted connection's handshake runs in the client's
 * process. A socket passed to another process (SCM_RIGHTS, fork) keeps the
 * owner that made it; `closer_pid` names the process whose call began the
 * close when that is known, which may differ. Process ids are those of the
 * PID namespace of the process that opened the stream; one it can't see
 * is 0. Connections of every network namespace are reported, each with its
 * namespace.
 *
 * Errors and memory as in <sockscope/sockets.h>: NULL (or -1) with errno;
 * a batch is one block on the C heap, texts included, given back with
 * sockscope_connections_free. Walk records with sockscope_connection_at,
 * which steps by the size the library filled in; later minor versions may
 * add members at the end of every structure.
 *
 * Threads: one thread at a time per stream for sockscope_stream_read;
 * streams are independent of each other and of snapshots. */
#ifndef SOCKSCOPE_CONNECTIONS_H
#define SOCKSCOPE_CONNECTIONS_H

#include <sockscope/sockets.h>

#ifdef __cplusplus
extern "C" {
#endif

/* sockscope_stream_options.flags: a record also when a connection opens
 * (connect() completed, accept returned it, a socket started to listen). */
#define SOCKSCOPE_STREAM_OPENS 0x1u
/* sockscope_stream_options.flags: where the kernel refuses
 * programs at its accept function's exit, see accepts at the exit of every
 * system call (filtered to accept and accept4): owner_source "accept"
 * instead of "first call"/"listener", at a price that every process on the
 * machine pays at every system call, sockets or not (a loop of getppid()
 * ran 1.5 times slower here). Off by default. */
#define SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT 0x2u

struct sockscope_stream_options {
    size_t size;              /* sizeof(struct sockscope_stream_options) */
    uint32_t flags;           /* SOCKSCOPE_STREAM_* */
    uint32_t tracked_sockets; /* sockets followed at once (kernel memory:
                                 about 200 bytes each, taken at open);
                                 0: 32768, at most 4194304 */
    size_t buffer_bytes;      /* kernel memory for records waiting to be
                                 read (rounded up to a power of two pages);
                                 0: 2 MiB, at most 1 GiB */
};

#define SOCKSCOPE_STREAM_OPTIONS_INIT {sizeof(struct sockscope_stream_options), 0, 0, 0}

enum sockscope_connection_kind { SOCKSCOPE_CONNECTION_OPENED = 1, SOCKSCOPE_CONNECTION_CLOSED = 2 };

/* How the socket came to be. */
enum sockscope_connection_side {
    SOCKSCOPE_SIDE_UNKNOWN = 0, /* open before the stream, not listening */
    SOCKSCOPE_SIDE_CONNECT = 1,
    SOCKSCOPE_SIDE_ACCEPT = 2,
    SOCKSCOPE_SIDE_LISTEN = 3
};

/* Where the owner was taken (see above). */
enum sockscope_owner_source {
    SOCKSCOPE_OWNER_UNKNOWN = 0,
    SOCKSCOPE_OWNER_FROM_CONNECT = 1,
    SOCKSCOPE_OWNER_FROM_LISTEN = 2,
    SOCKSCOPE_OWNER_FROM_ACCEPT = 3,
    SOCKSCOPE_OWNER_FROM_SNAPSHOT = 4,
    SOCKSCOPE_OWNER_FROM_CLOSE = 5,
    SOCKSCOPE_OWNER_FROM_FIRST_CALL = 6,
    SOCKSCOPE_OWNER_FROM_LISTENER = 7   
};

/* How a connection ended; its name is in end_name. */
enum sockscope_connection_end {
    SOCKSCOPE_END_OPEN = 0,           /* "open": an open record */
    SOCKSCOPE_END_NORMAL = 1,         /* "normal": both sides' FIN, or a
                                         listener closed */
    SOCKSCOPE_END_RESET_SENT = 2,     /* "reset sent": aborted here
                                         (SO_LINGER 0, unread data at close) */
    SOCKSCOPE_END_RESET_RECEIVED = 3, /* "reset received" (ECONNRESET, EPIPE) */
    SOCKSCOPE_END_REFUSED = 4,        /* "refused": connect refused */
    SOCKSCOPE_END_TIMED_OUT = 5,      /* "timed out": connect or
                                         retransmission timeout */
    SOCKSCOPE_END_FAILED = 6,         /* "failed": another error; see error */
    SOCKSCOPE_END_ABANDONED = 7       /* "abandoned": closed while connecting */
};

/* sockscope_connection.flags */
#define SOCKSCOPE_CONNECTION_OPEN_UNSEEN 0x1u   /* opened before the stream
                                                   started, or while its
                                                   table was full */
#define SOCKSCOPE_CONNECTION_CLOSED_IN_CALL 0x2u /* its last state change ran
                                                   in a call on the socket
                                                   (close, shutdown ...) */
#define SOCKSCOPE_CONNECTION_PATH_CUT 0x4u       /* states lost some in the
                                                    middle (more than 16) */

/* One TCP connection as it opened or closed. Texts are UTF-8, and NULL
 * when unknown. */
struct sockscope_connection {
    uint8_t protocol;        /* 6 (IPPROTO_TCP) */
    uint8_t family;          /* 2 IPv4, 10 IPv6 */
    uint8_t kind;            /* enum sockscope_connection_kind */
    uint8_t side;            /* enum sockscope_connection_side */
    uint8_t owner_source;    /* enum sockscope_owner_source */
    uint8_t end;             /* enum sockscope_connection_end */
    uint8_t flags;           /* SOCKSCOPE_CONNECTION_* */
    uint8_t state_count;     /* states[0..state_count) */
    uint8_t states[16];      /* the TCP states it went through, oldest first
                                (enum sockscope_state; SOCKSCOPE_CLOSE last
                                in a closed record) */
    uint8_t local_address[16];  /* network order; IPv4 in the first four */
    uint8_t remote_address[16];
    uint16_t local_port;     /* host order */
    uint16_t remote_port;
    int32_t error;           /* the socket's error at close (an errno); 0 */
    uint32_t pid;            /* owner; 0 unknown */
    uint32_t closer_pid;     /* the process whose call began the close; 0
                                unknown (the kernel closed it, a timeout) */
    uint64_t cookie;         /* the kernel's socket cookie (SO_COOKIE) */
    uint64_t netns;          /* its network namespace's inode */
    int64_t opened_ns;       /* CLOCK_REALTIME; 0 when its opening was not
                                seen (SOCKSCOPE_CONNECTION_OPEN_UNSEEN) */
    int64_t closed_ns;       /* CLOCK_REALTIME; 0 in an open record */
    int64_t lifetime_ns;     /* closed_ns - opened_ns; -1 when either is 0 */
    uint64_t bytes_sent;     /* at close: payload the peer acknowledged
                                (`ss -i`'s bytes_acked counts a connect's
                                SYN and the FIN too; not here) */
    uint64_t bytes_received; /* at close: payload received (`ss -i`'s
                                bytes_received counts the peer's FIN) */
    uint64_t cgroup_id;      /* the owner's cgroup in the unified hierarchy
                                (its directory's inode); 0 unknown */
    const char *local_text;  /* "127.0.0.1", "::1" */
    const char *remote_text;
    const char *name;        /* the owner's whole name (up to 63 bytes; the
                                comm beyond that) */
    const char *comm;        /* the owner's comm, at most 15 bytes */
    const char *cgroup;      /* the owner's cgroup path, as in a snapshot's
                                owner; NULL when the cgroup is gone, or the
                                library may not look it up */
    const char *container;   /* the container id read from that path, as in
                                a snapshot's owner (a runtime's: root owns
                                its cgroup directory) */
    const char *netns_name;  /* the namespace's name under /run/netns */
    const char *end_name;    /* see enum sockscope_connection_end; the
                                library's, not in the block */
    /* added later: read them only when connection_size reaches past them */
    const char *user_container; /* as in a snapshot's owner: an id named in
                                   a cgroup directory a user other than
                                   root owns, never in `container` */
    uint32_t container_user;    /* that directory's owner; 0 when
                                   user_container is NULL */
    uint32_t reserved;          /* 0 */
};

/* One read: up to the count asked for, oldest first. */
struct sockscope_connections {
    size_t size;            /* sizeof(struct sockscope_connections) as this
                               library fills it */
    size_t connection_size; /* the distance between two records */
    size_t count;
    const struct sockscope_connection *connections;
    uint64_t lost;          /* records lost since the previous read: the
                               buffer was full, or a state change ran
                               where no program could see it (each may
                               have been a close) */
};

struct sockscope_stream;

/* Opens a stream: loads and attaches the program, and takes the snapshot
 * of the sockets open now. options NULL: the defaults. NULL with errno:
 * EPERM without the privilege above; ENOTSUP when libbpf.so.1 is missing,
 * the kernel has no BTF or the library was built without BPF; EINVAL for a
 * bad size or options out of range; otherwise the errno of the step that
 * failed (ENOMEM, EMFILE ...), or EIO where it gave none (libbpf's own
 * error codes are no errno values). Where libbpf reads the kernel's BTF
 * itself, a shortage of memory there may come back as another errno
 * (ESRCH: no BTF found). A failed open leaves nothing behind. */
SOCKSCOPE_C_API struct sockscope_stream *sockscope_stream_open(const struct sockscope_stream_options *options);

/* The descriptor to wait on; the stream's own (don't close it). -1 with
 * EINVAL for NULL. */
SOCKSCOPE_C_API int sockscope_stream_fd(const struct sockscope_stream *stream);

/* Takes up to max_count waiting records (at most 65536 a call), never
 * waiting: a batch with count 0 when none wait. NULL with errno: EINVAL
 * for a NULL stream or max_count 0, ENOMEM. A read that fails keeps what
 * it took from the kernel (records and lost count) for the next read,
 * which returns them first. */
SOCKSCOPE_C_API struct sockscope_connections *sockscope_stream_read(struct sockscope_stream *stream, size_t max_count);

/* Gives a batch back; NULL does nothing. */
SOCKSCOPE_C_API void sockscope_connections_free(struct sockscope_connections *connections);

/* Detaches the program and frees the stream; records not read are gone.
 * NULL does nothing. */
SOCKSCOPE_C_API void sockscope_stream_close(struct sockscope_stream *stream);

/* Which kernel hooks a stream uses, chosen at open by trying the cheapest
 * first, and its counters since it opened. */
struct sockscope_stream_info {
    size_t size;             /* sizeof(struct sockscope_stream_info) */
    const char *state_hook;  /* "tp_btf/inet_sock_set_state" */
    const char *accept_hook; /* "fexit/inet_csk_accept"; where the kernel
                                refused that, "tp_btf/sys_exit" when asked
                                for, else "tp_btf/sock_send_length+
                                sock_recv_length" (first call), or "none"
                                (listener) */
    int32_t accept_function_refused; /* the errno it refused with; 0 */
    uint32_t reserved;
    uint64_t lost;           /* records lost, of which */
    uint64_t lost_for_room;  /*   dropped when the buffer was full, */
    uint64_t lost_unseen;    /*   state changes no program saw */
    uint64_t untracked;      /* sockets the table had no room for */
};

#define SOCKSCOPE_STREAM_INFO_INIT {sizeof(struct sockscope_stream_info), NULL, NULL, 0, 0, 0, 0, 0, 0}

/* Fills *info up to info->size (SOCKSCOPE_STREAM_INFO_INIT sets it to the
 * size your header gives it). 0, or -1 with EINVAL for NULL or a size below the first version's. */
SOCKSCOPE_C_API int sockscope_stream_get_info(const struct sockscope_stream *stream, struct sockscope_stream_info *info);

/* The name of a TCP or UDP state (protocol 6 or 17) as snapshots name it:
 * "ESTABLISHED", "UNCONN" ...; NULL for a state the protocol doesn't
 * have. The library's; never freed. */
SOCKSCOPE_C_API const char *sockscope_state_name(int protocol, int state);

static inline const struct sockscope_connection *sockscope_connection_at(const struct sockscope_connections *batch,
                                                                          size_t index) {
    return (const struct sockscope_connection *)((const char *)batch->connections + index * batch->connection_size);
}

#ifdef __cplusplus
}
#endif

#endif
