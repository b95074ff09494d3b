// SPDX-License-Identifier: MIT
/* What the connections BPF program (linux/bpf/connections.bpf.c) shares
 * with the library: the events it writes to its ring buffer, the numbers
 * of their kinds, sides, owner sources and flags (core/connection.h takes
 * its enums' values from here), and the one block of counters and settings
 * that both sides map. Plain C types of fixed width, laid out alike on both
 * targets (BPF and x86-64), without padding: the layout checks at the end
 * run in both compilers, so a change that moves a member fails to build
 * instead of being read wrongly. */
#ifndef SOCKSCOPE_BPF_CONNECTION_EVENT_H
#define SOCKSCOPE_BPF_CONNECTION_EVENT_H

#define CONNECTION_COMM_SIZE 16  /* TASK_COMM_LEN */
#define CONNECTION_NAME_SIZE 64  /* the executable's file name, with its NUL */
#define CONNECTION_PATH_CAPACITY 16 /* states kept, 4 bits each */

/* connection_event.kind */
#define CONNECTION_OPENED 1
#define CONNECTION_CLOSED 2

/* connection_event.side: how the socket came to be. */
#define CONNECTION_SIDE_UNKNOWN 0
#define CONNECTION_SIDE_CONNECT 1
#define CONNECTION_SIDE_ACCEPT 2
#define CONNECTION_SIDE_LISTEN 3

/* connection_event.owner_source: the moment the owner was taken at. */
#define OWNER_UNKNOWN 0
#define OWNER_FROM_CONNECT 1
#define OWNER_FROM_LISTEN 2
#define OWNER_FROM_ACCEPT 3
#define OWNER_FROM_SNAPSHOT 4 /* held it when the stream started */
#define OWNER_FROM_CLOSE 5    /* its call began the close; no owner known before */
#define OWNER_FROM_IO 6       /* an accepted socket's first send or receive */
#define OWNER_FROM_LISTENER 7 /* an accepted socket with no call on it yet: its listener's owner */

/* connection_event.flags */
#define CONNECTION_OPEN_UNSEEN 1    /* its opening was not seen: it was open before the
                                       stream started, or the socket table was full */
#define CONNECTION_CLOSED_IN_CALL 2 /* the last state change ran in a call on the socket */
#define CONNECTION_PATH_CUT 4       /* more states than the path holds: the last replaced */
#define CONNECTION_FIN_SENT 0x80    /* the program's own, never in an event: the socket sent its FIN */

struct connection_event {
    unsigned long long cookie;         /* the socket's cookie (SO_COOKIE) */
    unsigned long long opened_ns;      /* CLOCK_MONOTONIC; 0 when not seen */
    unsigned long long event_ns;       /* CLOCK_MONOTONIC: when it opened or closed */
    unsigned long long bytes_acked;    /* payload sent and acknowledged (no SYN, no FIN) */
    unsigned long long bytes_received; /* payload received (no FIN) */
    unsigned long long cgroup;         /* the owner's cgroup v2 id; 0 unknown */
    unsigned long long states;         /* state i in bits 4i..4i+3 */
    unsigned int netns;                /* network namespace inode */
    unsigned int owner;                /* process id in the reader's PID namespace; 0 unknown */
    unsigned int closer;               /* likewise, the process whose call began the close */
    int error;                         /* the socket's error at close (ECONNRESET ...) */
    unsigned char local_address[16];   /* 4 bytes used for IPv4; network order */
    unsigned char remote_address[16];
    unsigned short family;             /* AF_INET, AF_INET6 */
    unsigned short local_port;         /* host order */
    unsigned short remote_port;        /* host order */
    unsigned char kind;
    unsigned char side;
    unsigned char owner_source;
    unsigned char flags;
    unsigned char state_count;         /* states in `states`, at most CONNECTION_PATH_CAPACITY */
    unsigned char reserved[5];
    char comm[CONNECTION_COMM_SIZE];   /* the owner's comm */
    char name[CONNECTION_NAME_SIZE];   /* its executable's file name, or "" */
};

/* The program's one shared block (an mmapable array of one entry): the
 * library writes the settings before the program is attached; the program
 * only adds to the counters. */
struct connection_stream_shared {
    unsigned long long lost;      /* events the ring buffer had no room for */
    unsigned long long untracked; /* sockets the socket table had no room for */
    unsigned long long skipped_seen; /* state changes state_changed_skipped saw in its place */
    unsigned int reader_pid_namespace; /* inode of the reader's PID namespace */
    unsigned int report_opens;         /* nonzero: an event when a connection opens too */
    unsigned int accepts_seen;         /* nonzero: a program sees accept calls return; else an
                                          accepted connection's open event comes at ESTABLISHED */
    unsigned int reserved;
};

#ifdef __cplusplus
#define CONNECTION_LAYOUT_CHECK(what) static_assert(what, #what)
#else
#define CONNECTION_LAYOUT_CHECK(what) _Static_assert(what, #what)
#endif
#define CONNECTION_EVENT_AT(member, at) \
    CONNECTION_LAYOUT_CHECK(__builtin_offsetof(struct connection_event, member) == (at))
CONNECTION_LAYOUT_CHECK(sizeof(struct connection_event) == 200);
CONNECTION_EVENT_AT(cookie, 0);
CONNECTION_EVENT_AT(opened_ns, 8);
CONNECTION_EVENT_AT(event_ns, 16);
CONNECTION_EVENT_AT(bytes_acked, 24);
CONNECTION_EVENT_AT(bytes_received, 32);
CONNECTION_EVENT_AT(cgroup, 40);
CONNECTION_EVENT_AT(states, 48);
CONNECTION_EVENT_AT(netns, 56);
CONNECTION_EVENT_AT(owner, 60);
CONNECTION_EVENT_AT(closer, 64);
CONNECTION_EVENT_AT(error, 68);
CONNECTION_EVENT_AT(local_address, 72);
CONNECTION_EVENT_AT(remote_address, 88);
CONNECTION_EVENT_AT(family, 104);
CONNECTION_EVENT_AT(local_port, 106);
CONNECTION_EVENT_AT(remote_port, 108);
CONNECTION_EVENT_AT(kind, 110);
CONNECTION_EVENT_AT(side, 111);
CONNECTION_EVENT_AT(owner_source, 112);
CONNECTION_EVENT_AT(flags, 113);
CONNECTION_EVENT_AT(state_count, 114);
CONNECTION_EVENT_AT(comm, 120);
CONNECTION_EVENT_AT(name, 136);
/* 4 bits a state in `states` */
CONNECTION_LAYOUT_CHECK(CONNECTION_PATH_CAPACITY * 4 == sizeof(((struct connection_event *)0)->states) * 8);
CONNECTION_LAYOUT_CHECK(sizeof(struct connection_stream_shared) == 40);
#undef CONNECTION_EVENT_AT
#undef CONNECTION_LAYOUT_CHECK

#endif
