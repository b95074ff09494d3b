/* SPDX-License-Identifier: MIT */
/* sockscope's C interface: the machine's TCP and UDP sockets, IPv4 and IPv6,
 * each with everything the kernel says of it and every process that holds
 * it. It is part of libsockscope_x64.so.1 (since 1.2), beside the C++ class
 * of <sockscope/sockscope.h>, and compiles as C99 and as C++.
 *
 *     struct sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
 *     selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4 | SOCKSCOPE_IPV6;
 *     struct sockscope_snapshot *snapshot = sockscope_snapshot_take(&selection);
 *     if (snapshot == NULL) { perror("sockscope"); return 1; }
 *     for (size_t i = 0; i < snapshot->count; ++i) {
 *         const struct sockscope_socket *s = sockscope_socket_at(snapshot, i);
 *         printf("%s:%u %s\n", s->local_text, s->local_port, s->state_name);
 *     }
 *     sockscope_snapshot_free(snapshot);
 *
 * Names: everything starts with sockscope_ or SOCKSCOPE_.
 *
 * Errors: a function that fails returns NULL with errno set, and changes
 * nothing else; one that answers leaves errno as it was. A call fails only
 * when the machine or the caller lacks what the answer needs: EINVAL a bad
 * selection, ENOMEM memory, EMFILE or ENFILE a descriptor (a call needs at
 * most three at a time), ENOENT no /proc, or the kernel's own errno when
 * netlink and /proc/net both refuse a table. Whatever goes wrong while
 * reading one process (it ended; it is another user's; its entries fail in
 * any other way) only leaves that process out of its sockets' owners.
 *
 * Memory: a snapshot is one block on the C heap, texts included; give it
 * back with sockscope_snapshot_free, which frees it all. Nothing in it
 * points outside it but the state names, which are the library's.
 *
 * Growth: later minor versions may add members at the end of every
 * structure, and nothing else changes. So:
 *   - set `size` of a selection to the size your header gives it
 *     (SOCKSCOPE_SELECTION_INIT does): the library reads no member past
 *     it, and refuses (EINVAL) a larger selection whose unknown members
 *     are not zero;
 *   - walk sockets and owners with sockscope_socket_at and
 *     sockscope_owner_at, which step by the sizes the library filled in
 *     (socket_size, owner_size), never by sizeof;
 *   - read a snapshot's own members only up to its `size`.
 *
 * Threads: calls may run on any thread at once. No call keeps anything
 * between calls but what makes the next one faster (the BPF owner iterator
 * that docs/owners.md describes); every answer is read afresh. */
#ifndef SOCKSCOPE_SOCKETS_H
#define SOCKSCOPE_SOCKETS_H

#include <stddef.h>
#include <stdint.h>

#if defined(SOCKSCOPE_BUILDING_LIBRARY)
#define SOCKSCOPE_C_API __attribute__((visibility("default")))
#else
#define SOCKSCOPE_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a selection asks for: protocols and families (naming none of a kind
 * takes both; 0 takes every table), in the caller's network namespace or,
 * with SOCKSCOPE_ALL_NAMESPACES, in every network namespace on the
 * machine. */
#define SOCKSCOPE_TCP 0x1u
#define SOCKSCOPE_UDP 0x2u
#define SOCKSCOPE_IPV4 0x4u
#define SOCKSCOPE_IPV6 0x8u
#define SOCKSCOPE_ALL 0xFu
/* Every network namespace that a process on the machine is in, and those
 * bind-mounted under /run/netns (the ones `ip netns` names; an entry there
 * that is no network namespace is passed over). A caller with
 * CAP_SYS_ADMIN reads each from inside it, with short-lived threads of the
 * library's own (the caller's threads never change namespace); without it,
 * through /proc/<id>/net of any process in it that the caller may look at.
 * Another user's process shows its namespace's sockets too, with netns 0
 * (not known). A namespace it can read no way is counted in
 * skipped_namespaces. */
#define SOCKSCOPE_ALL_NAMESPACES 0x10u

/* Socket states as the kernel numbers them. A UDP socket is
 * SOCKSCOPE_CLOSE while unconnected (named "UNCONN") and
 * SOCKSCOPE_ESTABLISHED once connected. */
enum sockscope_state {
    SOCKSCOPE_ESTABLISHED = 1,
    SOCKSCOPE_SYN_SENT = 2,
    SOCKSCOPE_SYN_RECV = 3,
    SOCKSCOPE_FIN_WAIT1 = 4,
    SOCKSCOPE_FIN_WAIT2 = 5,
    SOCKSCOPE_TIME_WAIT = 6,
    SOCKSCOPE_CLOSE = 7,
    SOCKSCOPE_CLOSE_WAIT = 8,
    SOCKSCOPE_LAST_ACK = 9,
    SOCKSCOPE_LISTEN = 10,
    SOCKSCOPE_CLOSING = 11,
    SOCKSCOPE_NEW_SYN_RECV = 12
};

/* The bit of a state in sockscope_selection.states. */
#define SOCKSCOPE_STATE_BIT(state) (1u << (state))

/* Which sockets a snapshot holds. The kernel applies the states and ports
 * where it can, so that a query for a few sockets on a busy host costs a
 * fraction of the whole table, and owners are looked for only for the
 * sockets that pass. */
struct sockscope_selection {
    size_t size;           /* sizeof(struct sockscope_selection) */
    uint32_t what;         /* SOCKSCOPE_TCP, _UDP, _IPV4, _IPV6 or'ed; 0: all */
    uint32_t states;       /* SOCKSCOPE_STATE_BIT of each state wanted; 0: all */
    const uint16_t *ports; /* host order: a socket passes when its local or
                              remote port is one of them */
    size_t port_count;     /* 0: every port (ports may then be NULL) */
    /* added in 1.3: the library reads it only when `size` reaches past it
       (a selection of 1.2's size has none; a size that ends inside it is
       refused with EINVAL) */
    const char *expression; /* a filter expression in the words of `ss`, UTF-8
                               (NULL or "": none), which a socket has to
                               pass too, e.g. "dport = :443",
                               "state established ( sport = :ssh or
                               dport = :ssh )", "src 10.0.0.0/8 and not
                               dst [::1]":
          [state NAME | exclude NAME]... [EXPRESSION]
          EXPRESSION: tests joined by `and` (`&&`, `&`, or nothing),
          `or` (`||`, `|`), `not` (`!`) and parentheses; `not` binds
          tightest, then `and`, then `or`.
          sport OP PORT, dport OP PORT: OP = == eq, != ne neq, < lt, > gt,
            <= le leq, >= ge geq (none: =); PORT 443, :443, or a service
            name (:https) that the services database knows
          src HOST, dst HOST (or `src = HOST`, `src != HOST`): HOST an
            address (10.0.0.1, [::1]), a prefix (10.0.0.0/8, 10.1/16,
            [fe80::/10]), with :PORT or not (10.0.0.1:80, [::1]:80,
            10.0.0.0/8:*), or *, *:PORT, :PORT. An IPv4 address or prefix
            matches IPv4-mapped IPv6 addresses too.
          state and exclude lead: the first `state` starts an empty set of
            states, which each adds to; `exclude` takes states out (of all,
            when it comes first). NAME: established, syn-sent, syn-recv,
            fin-wait-1, fin-wait-2, time-wait, closed (an unconnected UDP
            socket too), close-wait, last-ack, listening, closing; all,
            connected (all but listening and closed), synchronized
            (connected but syn-sent), bucket (syn-recv and time-wait), big
            (all but bucket). A set left empty passes nothing.
          The kernel runs the tests on every socket before it is copied
          out, where it can. A bad expression fails the snapshot with
          EINVAL: sockscope_expression_check says where and why. */
    /* added in 1.4, read only when `size` reaches past them */
    uint32_t details;       /* SOCKSCOPE_TCP_INFO, _TIMER, _MEMORY or'ed:
                               what each socket carries besides (0: none,
                               and a snapshot costs what it did) */
    uint32_t reserved;      /* 0 */
};

/* sockscope_selection.details. The kernel gives them for sockets read over
 * netlink; a table read from /proc/net (see `flags`) carries none, and its
 * sockets' pointers stay NULL. */
#define SOCKSCOPE_TCP_INFO 0x1u /* sockscope_socket.tcp_info (TCP only) */
#define SOCKSCOPE_TIMER 0x2u    /* sockscope_socket.timer (TCP only) */
#define SOCKSCOPE_MEMORY 0x4u   /* sockscope_socket.memory */

#define SOCKSCOPE_SELECTION_INIT {sizeof(struct sockscope_selection), 0, 0, NULL, 0, NULL, 0, 0}

/* One process that holds a socket. */
struct sockscope_owner {
    uint32_t pid;     /* as the caller's PID namespace numbers it */
    int32_t fd;       /* its descriptor of the socket */
    const char *name; /* its whole name, UTF-8 (not cut at 15 bytes: the
                         executable's or argv[0]'s base name when the
                         kernel's comm is its start); NULL when unknown */
    const char *comm; /* the kernel's comm, at most 15 bytes, UTF-8: the
                         name ps and ss show; NULL when unknown */
    const char *cgroup;    /* its cgroup's path (the unified hierarchy's, or
                              on a host with cgroup v1 only, name=systemd's):
                              "/system.slice/docker-<id>.scope"; NULL when
                              unknown */
    const char *container; /* the id of the container it runs in, read from
                              the cgroup path as Docker, containerd, CRI-O,
                              Podman, Kubernetes and systemd-nspawn name
                              their cgroups (64 hex digits; a machine's name
                              for nspawn) where root owns the cgroup
                              directory that names it (a runtime made it);
                              NULL when the path matches none, or that
                              directory can't be seen, or a user's
                              (user_container) */
    /* added later: read them only when owner_size reaches past them */
    const char *user_container; /* an id named as above, in a cgroup
                                   directory that a user other than root
                                   owns: a subtree delegated to that user,
                                   where rootless Podman and Docker put
                                   their containers and where that user may
                                   name directories as it likes. That
                                   user's word, not a runtime's: never in
                                   `container`. NULL otherwise */
    uint32_t container_user;    /* the uid owning that directory; 0 when
                                   user_container is NULL */
    uint32_t reserved;          /* 0 */
};

/* The kernel's TCP state of a connection (its struct tcp_info), as it was
 * when the snapshot was taken. Times in microseconds unless named _ms.
 * A kernel older than a member gives 0 there: `kernel_size` says how many
 * bytes of its struct tcp_info the kernel gave. Since 1.4. */
struct sockscope_tcp_info {
    uint32_t size;            /* sizeof(struct sockscope_tcp_info) as filled */
    uint32_t kernel_size;     /* bytes of tcp_info the kernel gave */
    const char *congestion;   /* the congestion control algorithm ("cubic",
                                 "bbr"); NULL when the kernel didn't say */
    uint8_t ca_state;         /* 0 open, 1 disorder, 2 cwr, 3 recovery, 4 loss */
    uint8_t retransmits;      /* retransmissions of the head segment now */
    uint8_t probes;           /* zero-window or keepalive probes unanswered */
    uint8_t backoff;          /* exponential backoff of the retransmission timer */
    uint8_t options;          /* SOCKSCOPE_TCPI_* or'ed */
    uint8_t send_window_scale;    /* 0 when the window is not scaled */
    uint8_t receive_window_scale;
    uint8_t app_limited;      /* 1: the delivery rate was limited by the
                                 application, not the network */
    uint32_t rto;             /* retransmission timeout */
    uint32_t ato;             /* delayed-acknowledgement timeout */
    uint32_t send_mss;        /* bytes */
    uint32_t receive_mss;
    uint32_t unacked;         /* segments in flight */
    uint32_t sacked;
    uint32_t lost;
    uint32_t retrans;         /* segments retransmitted and in flight */
    uint32_t last_data_sent_ms;     /* since the last data sent */
    uint32_t last_data_received_ms;
    uint32_t last_ack_received_ms;
    uint32_t pmtu;
    uint32_t receive_ssthresh;
    uint32_t rtt;             /* smoothed round-trip time */
    uint32_t rttvar;
    uint32_t send_ssthresh;   /* segments; 2147483647 (infinite) at the start */
    uint32_t send_cwnd;       /* congestion window, segments */
    uint32_t advertised_mss;
    uint32_t reordering;
    uint32_t receive_rtt;
    uint32_t receive_space;
    uint32_t total_retrans;   /* segments retransmitted in all */
    uint32_t min_rtt;
    uint32_t not_sent_bytes;  /* written and not yet sent */
    uint32_t delivered;       /* segments delivered, retransmissions included */
    uint32_t send_window;     /* the peer's advertised window, bytes */
    uint64_t pacing_rate;     /* bytes a second */
    uint64_t max_pacing_rate;
    uint64_t bytes_acked;
    uint64_t bytes_received;
    uint64_t bytes_sent;      /* retransmissions included */
    uint64_t bytes_retrans;
    uint64_t delivery_rate;   /* bytes a second */
    uint64_t busy_time;       /* time with data in flight */
    uint64_t receive_window_limited; /* time limited by the peer's window */
    uint64_t send_buffer_limited;    /* time limited by the send buffer */
    uint32_t segments_out;
    uint32_t segments_in;
    uint32_t data_segments_out;
    uint32_t data_segments_in;
};

/* sockscope_tcp_info.options */
#define SOCKSCOPE_TCPI_TIMESTAMPS 0x1u
#define SOCKSCOPE_TCPI_SACK 0x2u
#define SOCKSCOPE_TCPI_WINDOW_SCALE 0x4u
#define SOCKSCOPE_TCPI_ECN 0x8u

/* A TCP socket's pending timer. Since 1.4. */
struct sockscope_timer {
    uint32_t size;        /* sizeof(struct sockscope_timer) as filled */
    uint8_t kind;         /* enum sockscope_timer_kind */
    uint8_t retransmits;  /* retransmissions (or keepalive probes) so far */
    uint16_t reserved;    /* 0 */
    uint32_t expires_ms;  /* from the snapshot to when it fires; 0 when
                             off or already due */
};

enum sockscope_timer_kind {
    SOCKSCOPE_TIMER_OFF = 0,
    SOCKSCOPE_TIMER_RETRANSMIT = 1, /* "on": retransmission (or loss probe) */
    SOCKSCOPE_TIMER_KEEPALIVE = 2,
    SOCKSCOPE_TIMER_TIME_WAIT = 3,
    SOCKSCOPE_TIMER_PROBE = 4       /* zero-window probe ("persist") */
};

/* A socket's memory in bytes (the kernel's sk_meminfo). Since 1.4. */
struct sockscope_memory {
    uint32_t size;              /* sizeof(struct sockscope_memory) as filled */
    uint32_t receive_allocated; /* rmem_alloc: received, not yet read */
    uint32_t receive_buffer;    /* rcvbuf: its limit */
    uint32_t send_allocated;    /* wmem_alloc: being sent */
    uint32_t send_buffer;       /* sndbuf: its limit */
    uint32_t forward_allocated; /* fwd_alloc: reserved ahead */
    uint32_t send_queued;       /* wmem_queued: written, not yet freed */
    uint32_t options;           /* optmem: socket options, filters */
    uint32_t backlog;           /* waiting for the socket's lock */
    uint32_t drops;             /* packets dropped, in all */
};

/* One socket. Texts are UTF-8 and null-terminated. */
struct sockscope_socket {
    uint8_t protocol;        /* 6 TCP, 17 UDP (IPPROTO_TCP, IPPROTO_UDP) */
    uint8_t family;          /* 2 IPv4, 10 IPv6 (AF_INET, AF_INET6) */
    uint8_t state;           /* enum sockscope_state */
    uint8_t v6only;          /* 1: an IPv6 listener or unconnected socket
                                that takes no IPv4 (IPV6_V6ONLY); 0 for a
                                dual-stack one, and where the kernel doesn't
                                say (other states, /proc/net) */
    uint32_t interface;      /* index of the interface the socket is bound
                                to (a scoped address's zone); 0: none */
    const char *state_name;  /* "ESTABLISHED", "SYN_SENT", "SYN_RECV",
                                "FIN_WAIT1", "FIN_WAIT2", "TIME_WAIT",
                                "CLOSE", "CLOSE_WAIT", "LAST_ACK", "LISTEN",
                                "CLOSING", "NEW_SYN_RECV"; "UNCONN" for an
                                unconnected UDP socket */
    uint8_t local_address[16];  /* network order; IPv4 in the first four */
    uint8_t remote_address[16]; /* zero: no peer (a listener, an
                                   unconnected UDP socket) */
    const char *local_text;  /* "127.0.0.1", "::", "fe80::1%eth0": a scoped
                                IPv6 address carries its interface's name
                                (or index, once it is gone) as its zone */
    const char *remote_text;
    uint16_t local_port;     /* host order */
    uint16_t remote_port;    /* host order; 0: no peer */
    uint32_t uid;            /* the socket's owner user */
    uint32_t receive_queue;  /* bytes not read yet; a listener: connections
                                waiting to be accepted */
    uint32_t send_queue;     /* bytes not acknowledged (TCP) or not sent
                                (UDP) yet; a listener: how many may wait.
                                0 and not known when flags has
                                SOCKSCOPE_SEND_QUEUE_UNKNOWN */
    uint64_t inode;          /* 0: no descriptor refers to it (TIME_WAIT,
                                a connection not accepted yet) */
    uint64_t cookie;         /* the kernel's socket cookie; 0: not known */
    const struct sockscope_owner *owners; /* owner_count, lowest pid first
                                             (then lowest fd): step with
                                             sockscope_owner_at */
    uint32_t owner_count;    /* 0: none known */
    uint32_t flags;          /* SOCKSCOPE_SEND_QUEUE_UNKNOWN; 0 otherwise
                                (the member was `reserved`, always 0) */
    uint64_t netns;          /* its network namespace: the inode of
                                /proc/<id>/ns/net; 0 when /proc can't say */
    const char *netns_name;  /* that namespace's name under /run/netns; NULL
                                when it has none */
    /* added in 1.4: read them only when socket_size reaches past them.
       Each NULL unless the selection asked for it (`details`) and the
       kernel gave it for this socket (a connection in TIME_WAIT or
       SYN_RECV has a timer only); each points into the snapshot. */
    const struct sockscope_tcp_info *tcp_info;
    const struct sockscope_timer *timer;
    const struct sockscope_memory *memory;
};

/* sockscope_socket.flags: a TCP listener read from /proc/net (without the
 * privilege to enter its namespace, or where netlink is refused), which
 * does not carry a listener's backlog limit: send_queue is 0 there, not the
 * limit. Old callers, which never read the flag, see the 0 they saw. */
#define SOCKSCOPE_SEND_QUEUE_UNKNOWN 0x1u

struct sockscope_snapshot {
    size_t size;             /* sizeof(struct sockscope_snapshot) as this
                                library fills it */
    size_t socket_size;      /* the distance between two sockets */
    size_t owner_size;       /* the distance between two owners */
    size_t count;            /* sockets */
    const struct sockscope_socket *sockets; /* namespace by namespace (the
                                               caller's first, then by
                                               inode), TCP then UDP, IPv4
                                               then IPv6, each table by local
                                               address and port, remote
                                               address and port: step with
                                               sockscope_socket_at */
    uint32_t unreadable_processes; /* processes whose descriptors the caller
                                      may not read (another user's; root
                                      without CAP_SYS_PTRACE; or one that
                                      refuses even a caller with it, e.g.
                                      from outside the caller's user
                                      namespace): their sockets may lack
                                      owners */
    uint32_t skipped_namespaces;   /* with SOCKSCOPE_ALL_NAMESPACES: network
                                      namespaces the caller could read
                                      neither from inside nor through a
                                      process in them */
};

/* A snapshot of the sockets `selection` asks for (NULL: every socket);
 * NULL with errno set on failure. */
SOCKSCOPE_C_API struct sockscope_snapshot *sockscope_snapshot_take(const struct sockscope_selection *selection);

/* Gives a snapshot back; NULL does nothing. */
SOCKSCOPE_C_API void sockscope_snapshot_free(struct sockscope_snapshot *snapshot);

/* A walk over the sockets `selection` asks for (NULL: every socket): the
 * sockets, their order and their fields as sockscope_snapshot_take gives
 * them, kept in the library's compact form and written out one socket at a
 * time. A caller that reads each socket in turn (to print it) holds some
 * 130 bytes a socket where a snapshot's block takes over 200. NULL with
 * errno set, as sockscope_snapshot_take. A walk is used by one thread at a
 * time. Since 1.5. */
SOCKSCOPE_C_API struct sockscope_walk *sockscope_walk_start(const struct sockscope_selection *selection);

/* The walk's header: what a snapshot's says (count, socket_size,
 * owner_size, unreadable_processes, skipped_namespaces), with `sockets`
 * NULL; valid until the walk ends. NULL with errno EINVAL for a NULL walk. */
SOCKSCOPE_C_API const struct sockscope_snapshot *sockscope_walk_header(const struct sockscope_walk *walk);

/* Socket `index` (below the header's count) laid out as a snapshot's, its
 * owners (sockscope_owner_at with the header), details and texts with it:
 * valid until the next sockscope_walk_socket on the walk or its end, so
 * copy what you keep. NULL with errno EINVAL for a NULL walk or an index
 * past the end. */
SOCKSCOPE_C_API const struct sockscope_socket *sockscope_walk_socket(struct sockscope_walk *walk, size_t index);

/* Ends a walk and gives back all it held; NULL does nothing. */
SOCKSCOPE_C_API void sockscope_walk_end(struct sockscope_walk *walk);

/* The version of the library answering, "1.5.0.0". */
SOCKSCOPE_C_API const char *sockscope_version(void);

/* Checks a filter expression (sockscope_selection.expression; NULL is
 * none) without taking a snapshot: 0 when a selection takes it; otherwise
 * -1 with errno EINVAL, the byte offset in `expression` where it goes wrong
 * in *position and a short reason in English ("a port expected") in
 * *reason, the library's text, never to be freed (either pointer may be
 * NULL); errno ENOMEM when memory ran out. Since 1.3. */
SOCKSCOPE_C_API int sockscope_expression_check(const char *expression, size_t *position, const char **reason);

/* Destroys sockets as the kernel's SOCK_DESTROY does: a TCP connection is
 * aborted (its peer gets a reset, a call blocked on it fails with
 * ECONNABORTED), a UDP socket's calls fail. The kernel asks for
 * CAP_NET_ADMIN. Since 1.4. */

/* Every socket that `selection` selects in the caller's network namespace.
 * 0, with the number destroyed in *destroyed and in *refused (when not
 * NULL) the number the kernel would not destroy one by one (a protocol it
 * destroys no socket of, a state it refuses); a socket that closed in
 * between is in neither. -1 with errno: EINVAL for a NULL or bad selection,
 * one with SOCKSCOPE_ALL_NAMESPACES, or a NULL `destroyed`; EPERM without
 * CAP_NET_ADMIN and EOPNOTSUPP from a kernel built without SOCK_DESTROY,
 * when the first socket tried says so (nothing is destroyed then); and the
 * errors of sockscope_snapshot_take. */
SOCKSCOPE_C_API int sockscope_sockets_destroy(const struct sockscope_selection *selection, size_t *destroyed,
                                              size_t *refused);

/* One socket of a snapshot, found again by its protocol, family, addresses,
 * ports, interface and cookie (never another socket made since with the
 * same ends). 0, or -1 with errno: ENOENT when it has closed since, EPERM,
 * EOPNOTSUPP, EINVAL for NULL or a socket of another network namespace. */
SOCKSCOPE_C_API int sockscope_socket_destroy(const struct sockscope_socket *socket);

static inline const struct sockscope_socket *sockscope_socket_at(const struct sockscope_snapshot *snapshot,
                                                                  size_t index) {
    return (const struct sockscope_socket *)((const char *)snapshot->sockets + index * snapshot->socket_size);
}

static inline const struct sockscope_owner *sockscope_owner_at(const struct sockscope_snapshot *snapshot,
                                                                const struct sockscope_socket *socket,
                                                                size_t index) {
    return (const struct sockscope_owner *)((const char *)socket->owners + index * snapshot->owner_size);
}

#ifdef __cplusplus
}
#endif

#endif
