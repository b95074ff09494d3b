// SPDX-License-Identifier: MIT OR GPL-2.0-only
/* Follows every TCP socket of the machine from its first state change to
 * its close, and writes one connection_event to a ring buffer when it
 * closes (and, when asked, when it opens) for the library to read.
 *
 * What is kept per socket, keyed by its cookie (addresses and ports repeat
 * across network namespaces), lives in `sockets` from the first state
 * change seen to TCP_CLOSE. Its owner is taken only where the calling task
 * is the socket's owner for certain:
 *
 *   connect  CLOSE -> SYN_SENT runs in connect() (or a fast-open send);
 *   listen   CLOSE -> LISTEN runs in listen();
 *   accept   the accepting call's return (accept_returned_* below), where
 *            the library attaches a program there; else the accepted
 *            socket's first send or receive (first_sent, first_received),
 *            and before any, its listener's owner (`listeners`);
 *   snapshot the task that held it when the stream started (`snapshot`);
 *   close    for a socket without an owner so far: the task whose call on
 *            the socket began its close.
 *
 * Never from the task current at any other state change: those run in
 * softirq context, mostly in whichever task happened to be running (on
 * loopback, the accepted socket's SYN_RECV and ESTABLISHED run in the
 * client's task). A state change runs in a call on the socket exactly when
 * the socket's lock is owned (lock_sock): softirq work on a socket that a
 * task has locked waits for that task to release it, and then runs in it.
 *
 * Field accesses go through CO-RE relocations, so one object runs on any
 * kernel with BTF. On the path that runs at every state change they are
 * plain loads of the socket's own fields; helper calls (probe reads) cost
 * ten times more, and are left to the paths that run once per socket.
 * Pointers are followed only by probe reads, though: the verifier looks
 * each pointer load from a kernel object up in the kernel's BTF, which
 * took it some 50 ms for the few in this program.
 *
 * Sections are named "sockscope/<hook>/<target>" (hook as libbpf names
 * it: tp_btf, fexit, iter), not libbpf's own names: the library sets each
 * program's type and target itself as it loads them, from the kernel's
 * BTF that it reads once, where libbpf would read it again
 * (connections_loader.h). */
#include "vmlinux.h"
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "core/bpf_connection_event.h"

#define AF_INET 2
#define AF_INET6 10
#define SOCKFS_MAGIC 0x534F434B
/* The initial PID namespace's inode number (PROC_PID_INIT_INO). */
#define INITIAL_PID_NAMESPACE 0xEFFFFFFCU
/* Deepest nesting of PID namespaces (MAX_PID_NS_LEVEL). */
#define PID_NAMESPACE_LEVELS 32
/* accept and accept4 on x86-64. */
#define SYSCALL_ACCEPT 43
#define SYSCALL_ACCEPT4 288
#define E2BIG 7 /* a full map's answer to an insert */
/* enum sock_flags: set by the peer's FIN (tcp_fin), never by a reset. */
#define SOCK_DONE 1

char LICENSE[] SEC("license") = "Dual MIT/GPL";

/* A process as the events name it. */
struct owner {
    __u64 cgroup;
    __u32 pid;
    __u32 reserved;
    char comm[CONNECTION_COMM_SIZE];
    char name[CONNECTION_NAME_SIZE];
};

struct tracked_socket {
    __u64 opened_ns;
    __u64 states;
    struct owner owner;
    __u32 netns;
    __u32 closer;
    __u8 side;
    __u8 owner_source;
    __u8 flags;
    __u8 state_count;
};

/* Sizes are set by the library before loading. The table is allocated
 * whole when it is made: allocating each entry as its socket comes costs
 * a third more at every connection. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 21);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 32768);
    __type(key, __u64);
    __type(value, struct tracked_socket);
} sockets SEC(".maps");

/* The owner of each listening socket, by network namespace and port
 * (listener_key): an accepted socket starts with it until a call on the
 * socket names its own. Listeners sharing a port (SO_REUSEPORT) share the
 * entry: the last to listen names it. Entries come and go with listeners,
 * which are few: allocated as they come. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16384);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, __u64);
    __type(value, struct owner);
} listeners SEC(".maps");

/* Accepted sockets whose owner no call on them has named yet, where that
 * is how owners of accepted sockets are taken: marked in the socket itself,
 * so that a send or receive on any other socket costs the programs below a
 * pointer test rather than a lookup in `sockets`. The mark goes at the
 * first call, or with the socket. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, __u8);
} unnamed SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __uint(map_flags, BPF_F_MMAPABLE);
    __type(key, __u32);
    __type(value, struct connection_stream_shared);
} shared SEC(".maps");

/* Room for a socket that has no entry in `sockets`, one per program that
 * may be using it on a CPU at once: state_changed, state_changed_skipped
 * (which runs in interrupts that break into state_changed) and snapshot
 * (into which state_changed may break). */
#define SCRATCH_STATE 0
#define SCRATCH_SKIPPED 1
#define SCRATCH_SNAPSHOT 2

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 3);
    __type(key, __u32);
    __type(value, struct tracked_socket);
} scratch SEC(".maps");

static __always_inline struct connection_stream_shared *shared_block(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&shared, &zero);
}

/* The kernel address stored at `field`, as a plain number, for map keys
 * and for the functions below that are not static (verified once each,
 * rather than again at every call; they read through such numbers with
 * probes). The verifier won't turn a typed pointer into one otherwise. */
static __always_inline __u64 address_at(const void *field)
{
    __u64 address = 0;
    bpf_probe_read_kernel(&address, sizeof address, field);
    return address;
}

/* The number that the reader's PID namespace (given by its inode) gives
 * the thread group of the task at `task_address`, or 0 when it has none
 * there. A struct pid holds one (nr, ns) pair per level, from the initial
 * namespace (0) down to the task's own. */
__noinline __u32 process_in_namespace(__u64 task_address, __u32 reader_namespace)
{
    struct task_struct *task = (struct task_struct *)task_address;
    struct pid *pid = BPF_CORE_READ(task, group_leader, thread_pid);
    if (!pid)
        return 0;
    unsigned int level = BPF_CORE_READ(pid, level);
    unsigned long numbers = (unsigned long)pid + bpf_core_field_offset(struct pid, numbers);
    unsigned long upid_size = bpf_core_type_size(struct upid);
    unsigned long nr_at = bpf_core_field_offset(struct upid, nr);
    unsigned long ns_at = bpf_core_field_offset(struct upid, ns);
    for (unsigned int i = 0; i < PID_NAMESPACE_LEVELS; i++) {
        if (i > level)
            break;
        unsigned long upid = numbers + i * upid_size;
        struct pid_namespace *ns = 0;
        if (bpf_probe_read_kernel(&ns, sizeof ns, (void *)(upid + ns_at)))
            return 0;
        if (BPF_CORE_READ(ns, ns.inum) != reader_namespace)
            continue;
        int nr = 0;
        if (bpf_probe_read_kernel(&nr, sizeof nr, (void *)(upid + nr_at)) || nr <= 0)
            return 0;
        return (__u32)nr;
    }
    return 0;
}

/* The process of the task at `task_address`: its number for the reader,
 * its comm (the thread group's, as /proc/<id>/comm shows it) and, when the
 * comm may be cut (15 bytes), its executable's file name, from which the
 * library makes the whole name, and its cgroup in the unified hierarchy
 * (the id bpf_get_current_cgroup_id gives: its directory's inode). */
static __always_inline void take_owner(struct owner *owner, __u64 task_address, int current, __u32 reader_namespace)
{
    struct task_struct *task = (struct task_struct *)task_address;
    struct task_struct *leader = BPF_CORE_READ(task, group_leader);
    if (reader_namespace != INITIAL_PID_NAMESPACE)
        owner->pid = process_in_namespace(task_address, reader_namespace);
    else
        owner->pid = current ? bpf_get_current_pid_tgid() >> 32 : BPF_CORE_READ(task, tgid);
    owner->cgroup = current ? bpf_get_current_cgroup_id() : BPF_CORE_READ(task, cgroups, dfl_cgrp, kn, id);
    bpf_probe_read_kernel_str(owner->comm, sizeof owner->comm, &leader->comm);
    owner->name[0] = 0;
    if (owner->comm[CONNECTION_COMM_SIZE - 2] == 0)
        return;
    struct dentry *file = BPF_CORE_READ(leader, mm, exe_file, f_path.dentry);
    if (file && BPF_CORE_READ(file, d_name.len) < CONNECTION_NAME_SIZE)
        bpf_probe_read_kernel_str(owner->name, sizeof owner->name, BPF_CORE_READ(file, d_name.name));
}

static __always_inline void take_current_owner(struct tracked_socket *t, __u8 source, __u32 reader_namespace)
{
    take_owner(&t->owner, bpf_get_current_task(), 1, reader_namespace);
    t->owner_source = source;
}

/* A listener's key in `listeners`: its namespace and its port as bound
 * (skc_num is 0 again by the time a socket closes; inet_sport is not). */
static __always_inline __u64 listener_key(__u32 netns, struct sock *sk)
{
    return (__u64)netns << 16 | bpf_ntohs(BPF_CORE_READ((struct inet_sock *)sk, inet_sport));
}

/* An owner taken from anything but a call on the socket itself, which a
 * call's own gives way to. */
static __always_inline int owner_provisional(const struct tracked_socket *t)
{
    return t->owner_source == OWNER_UNKNOWN || t->owner_source == OWNER_FROM_LISTENER;
}

static __always_inline void add_state(struct tracked_socket *t, int state)
{
    __u32 at = t->state_count;
    if (at >= CONNECTION_PATH_CAPACITY) {
        at = CONNECTION_PATH_CAPACITY - 1;
        t->flags |= CONNECTION_PATH_CUT;
    } else {
        t->state_count = at + 1;
    }
    __u32 shift = (at & (CONNECTION_PATH_CAPACITY - 1)) * 4;
    t->states = (t->states & ~(0xfULL << shift)) | ((__u64)(state & 0xf) << shift);
}

/* The parts of an event that come from what was kept of the socket. */
static __always_inline void describe_tracked(struct connection_event *e, const struct tracked_socket *t, __u64 cookie,
                                             __u64 now, __u32 kind_and_flags)
{
    __builtin_memset(e, 0, sizeof *e);
    e->cookie = cookie;
    e->opened_ns = t->opened_ns;
    e->event_ns = now;
    e->cgroup = t->owner.cgroup;
    e->states = t->states;
    e->netns = t->netns;
    e->owner = t->owner.pid;
    e->closer = t->closer;
    e->kind = kind_and_flags & 0xff;
    e->side = t->side;
    e->owner_source = t->owner_source;
    e->flags = (t->flags & ~CONNECTION_FIN_SENT) | (kind_and_flags >> 8);
    e->state_count = t->state_count;
    __builtin_memcpy(e->comm, t->owner.comm, sizeof e->comm);
    __builtin_memcpy(e->name, t->owner.name, sizeof e->name);
}

/* Writes the event of `kind` (low byte; extra flags above it) for `sk`,
 * now; counts it as lost when the ring buffer is full. (The clock is read
 * only here and when a socket opens: in a virtual machine a read costs
 * as much as the rest of a state change.) */
static __always_inline void emit(struct connection_stream_shared *s, struct sock *sk, const struct tracked_socket *t,
                                 __u64 cookie, __u32 kind_and_flags)
{
    __u64 now = bpf_ktime_get_ns();
    struct connection_event *e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
    if (!e) {
        __sync_fetch_and_add(&s->lost, 1);
        return;
    }
    describe_tracked(e, t, cookie, now, kind_and_flags);
    e->family = sk->__sk_common.skc_family;
    e->remote_port = bpf_ntohs(sk->__sk_common.skc_dport);
    if (e->family == AF_INET6) {
        __builtin_memcpy(e->local_address, sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr8, 16);
        __builtin_memcpy(e->remote_address, sk->__sk_common.skc_v6_daddr.in6_u.u6_addr8, 16);
    } else {
        __builtin_memcpy(e->local_address, &sk->__sk_common.skc_rcv_saddr, 4);
        __builtin_memcpy(e->remote_address, &sk->__sk_common.skc_daddr, 4);
    }
    struct tcp_sock *tcp = bpf_skc_to_tcp_sock(sk);
    if (tcp) {
        /* The local port as bound: skc_num is 0 again by the time a
         * socket closes. */
        e->local_port = bpf_ntohs(tcp->inet_conn.icsk_inet.inet_sport);
        if (e->kind == CONNECTION_CLOSED) {
            /* The kernel counts sequence space, where a connect's SYN
             * and each side's FIN take one: the event gives payload. A
             * connect's SYN is the first byte acknowledged; our FIN
             * (sent on entering FIN_WAIT1 or LAST_ACK) is acknowledged
             * when nothing written is unacknowledged; the peer's was
             * received when it marked the socket done. */
            __u64 acked = tcp->bytes_acked, received = tcp->bytes_received;
            if (t->side == CONNECTION_SIDE_CONNECT && acked > 0)
                acked--;
            if ((t->flags & CONNECTION_FIN_SENT) && tcp->snd_una == tcp->write_seq && acked > 0)
                acked--;
            if ((sk->__sk_common.skc_flags & (1UL << SOCK_DONE)) && received > 0)
                received--;
            e->bytes_acked = acked;
            e->bytes_received = received;
        }
    }
    if (e->kind == CONNECTION_CLOSED)
        e->error = sk->sk_err;
    bpf_ringbuf_submit(e, 0);
}

/* What a socket first seen at oldstate -> newstate starts with, made in
 * `scratch`; it goes into the table once this state change is handled,
 * unless the socket closes now. A socket that was not seen to open may
 * have been found by the snapshot: kept under its cookie, or under its
 * address while it had none yet (cookies are given out on first use; the
 * snapshot can't give one). Addresses of kernel objects have the top bit
 * set, cookies (counted from 1) never do. */
static __noinline struct tracked_socket *first_seen(struct sock *sk, int oldstate, int newstate, __u32 slot)
{
    struct tracked_socket *fresh = bpf_map_lookup_elem(&scratch, &slot);
    if (!fresh)
        return 0;
    __builtin_memset(fresh, 0, sizeof *fresh);
    if (oldstate == TCP_CLOSE && newstate == TCP_SYN_SENT)
        fresh->side = CONNECTION_SIDE_CONNECT;
    else if (oldstate == TCP_CLOSE && newstate == TCP_LISTEN)
        fresh->side = CONNECTION_SIDE_LISTEN;
    else if (oldstate == TCP_LISTEN && newstate == TCP_SYN_RECV)
        fresh->side = CONNECTION_SIDE_ACCEPT;
    if (fresh->side != CONNECTION_SIDE_UNKNOWN) {
        fresh->opened_ns = bpf_ktime_get_ns();
    } else {
        fresh->flags = CONNECTION_OPEN_UNSEEN;
        __u64 address = address_at(&sk);
        struct tracked_socket *found = bpf_map_lookup_elem(&sockets, &address);
        if (found) {
            __builtin_memcpy(fresh, found, sizeof *fresh);
            bpf_map_delete_elem(&sockets, &address);
        }
    }
    if (fresh->state_count == 0)
        add_state(fresh, oldstate);
    fresh->netns = BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum);
    if (fresh->side == CONNECTION_SIDE_ACCEPT) {
        /* An accepted socket's port is its listener's. */
        __u64 key = listener_key(fresh->netns, sk);
        struct owner *listener = bpf_map_lookup_elem(&listeners, &key);
        if (listener) {
            __builtin_memcpy(&fresh->owner, listener, sizeof fresh->owner);
            fresh->owner_source = OWNER_FROM_LISTENER;
        }
    }
    return fresh;
}

/* The accept path's own function, where the kernel lets programs attach
 * to function exits (the library asks first, and loads either this
 * program or accept_returned_syscall). It comes first in the object, so
 * that a load that fails on it anyway fails before the others are
 * verified. */
__noinline int accepted(__u64 sk_address);

SEC("sockscope/fexit/inet_csk_accept")
int accept_returned_function(void *ctx)
{
    __u64 returned = 0;
    if (bpf_get_func_ret(ctx, &returned) == 0)
        accepted(returned);
    return 0;
}

/* Elsewhere, when the caller asks for it, every system call's exit,
 * filtered to accept and accept4; the returned descriptor leads to the
 * socket. It runs in every process at every system call, sockets or not
 * (some 100 ns a call), which is why it is not the default: there the
 * programs below take the owner at the accepted socket's first send or
 * receive. */
SEC("sockscope/tp_btf/sys_exit")
int BPF_PROG(accept_returned_syscall, struct pt_regs *regs, long ret)
{
    if (ret < 0)
        return 0;
    long number = regs->orig_ax;
    if (number != SYSCALL_ACCEPT && number != SYSCALL_ACCEPT4)
        return 0;
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    struct fdtable *table = BPF_CORE_READ(task, files, fdt);
    if (!table || ret >= BPF_CORE_READ(table, max_fds))
        return 0;
    struct file **files = BPF_CORE_READ(table, fd);
    struct file *file = 0;
    if (bpf_probe_read_kernel(&file, sizeof file, files + ret) || !file)
        return 0;
    /* What accept returns is a socket's descriptor. */
    struct socket *socket = BPF_CORE_READ(file, private_data);
    accepted((__u64)BPF_CORE_READ(socket, sk));
    return 0;
}

/* A socket that an accept call returned: its owner is the caller. The
 * socket was followed since SYN_RECV, which gave it its cookie. */
__noinline int accepted(__u64 sk_address)
{
    struct sock *sk = (struct sock *)sk_address;
    if (!sk || BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP)
        return 0;
    __u64 cookie = BPF_CORE_READ(sk, __sk_common.skc_cookie.counter);
    struct connection_stream_shared *s = shared_block();
    struct tracked_socket *t = cookie ? bpf_map_lookup_elem(&sockets, &cookie) : 0;
    if (!s || !t)
        return 0;
    t->side = CONNECTION_SIDE_ACCEPT;
    take_current_owner(t, OWNER_FROM_ACCEPT, s->reader_pid_namespace);
    if (!s->report_opens)
        return 0;
    struct connection_event *e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
    if (!e) {
        __sync_fetch_and_add(&s->lost, 1);
        return 0;
    }
    describe_tracked(e, t, cookie, bpf_ktime_get_ns(), CONNECTION_OPENED);
    e->family = BPF_CORE_READ(sk, __sk_common.skc_family);
    e->local_port = BPF_CORE_READ(sk, __sk_common.skc_num);
    e->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
    if (e->family == AF_INET6) {
        bpf_core_read(e->local_address, 16, &sk->__sk_common.skc_v6_rcv_saddr);
        bpf_core_read(e->remote_address, 16, &sk->__sk_common.skc_v6_daddr);
    } else {
        bpf_core_read(e->local_address, 4, &sk->__sk_common.skc_rcv_saddr);
        bpf_core_read(e->remote_address, 4, &sk->__sk_common.skc_daddr);
    }
    bpf_ringbuf_submit(e, 0);
    return 0;
}

/* A send or receive call on a socket: an accepted TCP socket whose owner
 * no call on it has named yet takes the caller. These run only in
 * processes that use sockets, once per call. */
static __always_inline void called(struct sock *sk)
{
    if (!bpf_sk_storage_get(&unnamed, sk, 0, 0))
        return;
    bpf_sk_storage_delete(&unnamed, sk);
    __u64 cookie = sk->__sk_common.skc_cookie.counter;
    struct tracked_socket *t = cookie ? bpf_map_lookup_elem(&sockets, &cookie) : 0;
    if (!t || t->side != CONNECTION_SIDE_ACCEPT || !owner_provisional(t))
        return;
    struct connection_stream_shared *s = shared_block();
    if (s)
        take_current_owner(t, OWNER_FROM_IO, s->reader_pid_namespace);
}

SEC("sockscope/tp_btf/sock_send_length")
int BPF_PROG(first_sent, struct sock *sk, int ret, int flags)
{
    called(sk);
    return 0;
}

SEC("sockscope/tp_btf/sock_recv_length")
int BPF_PROG(first_received, struct sock *sk, int ret, int flags)
{
    called(sk);
    return 0;
}

/* One state change of a TCP socket. With `mark` (a constant: see the
 * marking programs below), an accepted socket is marked for the send and
 * receive programs above as it is made. */
static __always_inline void changed(struct connection_stream_shared *s, struct sock *sk, int oldstate, int newstate,
                                    __u32 slot, const int mark)
{
    const __u32 reader = s->reader_pid_namespace;
    if (mark && oldstate == TCP_LISTEN && newstate == TCP_SYN_RECV)
        bpf_sk_storage_get(&unnamed, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    /* The cookie as the kernel keeps it; the helper, which gives the
     * socket one on first use, only when it has none yet. */
    __u64 cookie = sk->__sk_common.skc_cookie.counter;
    if (!cookie)
        cookie = bpf_get_socket_cookie(sk);
    struct tracked_socket *t = bpf_map_lookup_elem(&sockets, &cookie);
    const int in_table = t != 0;
    if (!t)
        t = first_seen(sk, oldstate, newstate, slot);
    if (!t)
        return;

    add_state(t, newstate);
    if (newstate == TCP_FIN_WAIT1 || newstate == TCP_LAST_ACK)
        t->flags |= CONNECTION_FIN_SENT;
    if (oldstate == TCP_CLOSE && newstate == TCP_SYN_SENT)
        take_current_owner(t, OWNER_FROM_CONNECT, reader);
    else if (oldstate == TCP_CLOSE && newstate == TCP_LISTEN)
        take_current_owner(t, OWNER_FROM_LISTEN, reader);
    /* (Not at LISTEN -> SYN_RECV, a listener's every accepted socket.) */
    if (newstate == TCP_LISTEN && t->owner_source != OWNER_UNKNOWN) {
        __u64 key = listener_key(t->netns, sk);
        bpf_map_update_elem(&listeners, &key, &t->owner, BPF_ANY);
    } else if (oldstate == TCP_LISTEN && newstate == TCP_CLOSE) {
        __u64 key = listener_key(t->netns, sk);
        bpf_map_delete_elem(&listeners, &key);
    }

    const int in_call = sk->sk_lock.owned != 0;
    if (in_call && !t->closer &&
        (newstate == TCP_FIN_WAIT1 || newstate == TCP_LAST_ACK || newstate == TCP_CLOSE)) {
        if (owner_provisional(t)) {
            take_current_owner(t, OWNER_FROM_CLOSE, reader);
            t->closer = t->owner.pid;
        } else {
            t->closer = reader == INITIAL_PID_NAMESPACE ? bpf_get_current_pid_tgid() >> 32
                                                        : process_in_namespace(bpf_get_current_task(), reader);
        }
    }

    if (newstate == TCP_CLOSE) {
        emit(s, sk, t, cookie, CONNECTION_CLOSED | (in_call ? CONNECTION_CLOSED_IN_CALL << 8 : 0));
        if (in_table)
            bpf_map_delete_elem(&sockets, &cookie);
        return;
    }
    if (!in_table && bpf_map_update_elem(&sockets, &cookie, t, BPF_NOEXIST) == -E2BIG)
        __sync_fetch_and_add(&s->untracked, 1);
    if (s->report_opens &&
        (newstate == TCP_LISTEN || (oldstate == TCP_SYN_SENT && newstate == TCP_ESTABLISHED) ||
         (!s->accepts_seen && oldstate == TCP_SYN_RECV && newstate == TCP_ESTABLISHED)))
        emit(s, sk, t, cookie, CONNECTION_OPENED);
}

/* The state changes that state_changed started on this CPU and that
 * state_changed_skipped has not yet come to, innermost last. */
#define STARTED_DEPTH 8

struct started_change {
    __u64 sk;
    __u32 states; /* old state, new state << 8 */
    __u32 reserved;
};

struct started_changes {
    __u32 depth;
    __u32 reserved;
    struct started_change changes[STARTED_DEPTH];
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct started_changes);
} started SEC(".maps");

/* The kernel does not run a program on a CPU where it is running already:
 * a state change handled in an interrupt that breaks into state_changed
 * would be skipped. A second program on the same tracepoint, attached
 * after the first, handles those: it runs right after state_changed for
 * every state change, and does something only when state_changed did not
 * start on this one. state_changed notes each change it starts; the
 * second program takes its own off the notes (with any above it, whose
 * second run an interrupt kept from coming), or, finding none, handles
 * the change. Interrupts come anywhere: inside either program, and
 * between the two (the ring buffer's wakeup raises one as state_changed
 * ends). The kernel counts the changes it skips; the second program
 * counts those it handles in state_changed's place, so the library can
 * tell how many neither saw. */
static __always_inline int state_change_started(struct sock *sk, int oldstate, int newstate, const int mark)
{
    __u32 zero = 0;
    struct started_changes *started_here = bpf_map_lookup_elem(&started, &zero);
    if (!started_here)
        return 0;
    __u32 depth = started_here->depth;
    if (depth >= STARTED_DEPTH)
        depth = 0; /* notes the second program never came to: start over */
    started_here->changes[depth].sk = (__u64)sk;
    started_here->changes[depth].states = (oldstate & 0xff) | (newstate & 0xff) << 8;
    started_here->depth = depth + 1;
    struct connection_stream_shared *s = shared_block();
    if (s && sk->sk_protocol == IPPROTO_TCP && oldstate != newstate)
        changed(s, sk, oldstate, newstate, SCRATCH_STATE, mark);
    return 0;
}

static __always_inline int state_change_skipped(struct sock *sk, int oldstate, int newstate, const int mark)
{
    __u32 zero = 0;
    struct started_changes *started_here = bpf_map_lookup_elem(&started, &zero);
    if (!started_here)
        return 0;
    const __u32 depth = started_here->depth;
    const __u32 states = (oldstate & 0xff) | (newstate & 0xff) << 8;
    for (int i = STARTED_DEPTH - 1; i >= 0; i--) {
        if ((__u32)i >= depth)
            continue;
        if (started_here->changes[i].sk == (__u64)sk && started_here->changes[i].states == states) {
            started_here->depth = i;
            return 0;
        }
    }
    struct connection_stream_shared *s = shared_block();
    if (!s)
        return 0;
    __sync_fetch_and_add(&s->skipped_seen, 1);
    if (sk->sk_protocol == IPPROTO_TCP && oldstate != newstate)
        changed(s, sk, oldstate, newstate, SCRATCH_SKIPPED, mark);
    return 0;
}

SEC("sockscope/tp_btf/inet_sock_set_state")
int BPF_PROG(state_changed, struct sock *sk, int oldstate, int newstate)
{
    return state_change_started(sk, oldstate, newstate, 0);
}

SEC("sockscope/tp_btf/inet_sock_set_state")
int BPF_PROG(state_changed_skipped, struct sock *sk, int oldstate, int newstate)
{
    return state_change_skipped(sk, oldstate, newstate, 0);
}

/* The same two, loaded in their place where accepted sockets take their
 * owner at their first send or receive: they also mark each accepted
 * socket as it is made. A pair of their own, because socket storage in
 * tracing programs takes Linux 5.11 (and the send and receive tracepoints
 * 6.3), where the plain pair runs on older kernels; marking in a program
 * of its own would cost every state change a third program's run. */
SEC("sockscope/tp_btf/inet_sock_set_state")
int BPF_PROG(state_changed_marking, struct sock *sk, int oldstate, int newstate)
{
    return state_change_started(sk, oldstate, newstate, 1);
}

SEC("sockscope/tp_btf/inet_sock_set_state")
int BPF_PROG(state_changed_skipped_marking, struct sock *sk, int oldstate, int newstate)
{
    return state_change_skipped(sk, oldstate, newstate, 1);
}

/* Run once when the stream starts, after the programs above are attached:
 * every TCP socket open by then gets its holder as owner (the first one
 * visited when several processes hold it), unless it was seen to open
 * meanwhile. Visits the reader's PID namespace's processes; writes no
 * output. */
SEC("sockscope/iter/task_file")
int snapshot(struct bpf_iter__task_file *ctx)
{
    struct task_struct *task = ctx->task;
    struct file *file = ctx->file;
    if (!task || !file)
        return 0;
    /* A process's descriptors are its leader's table, as in
     * socket_holders.bpf.c. */
    struct task_struct *leader = BPF_CORE_READ(task, group_leader);
    if (task != leader && BPF_CORE_READ(leader, files))
        return 0;
    if (BPF_CORE_READ(file, f_inode, i_sb, s_magic) != SOCKFS_MAGIC)
        return 0;
    struct socket *socket = BPF_CORE_READ(file, private_data);
    struct sock *sk = BPF_CORE_READ(socket, sk);
    if (!sk || BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP)
        return 0;
    const int state = BPF_CORE_READ(sk, __sk_common.skc_state);
    if (state == TCP_CLOSE)
        return 0;
    struct connection_stream_shared *s = shared_block();
    __u32 slot = SCRATCH_SNAPSHOT;
    struct tracked_socket *fresh = bpf_map_lookup_elem(&scratch, &slot);
    if (!s || !fresh)
        return 0;
    __u64 task_address = address_at(&ctx->task);
    __u64 cookie = BPF_CORE_READ(sk, __sk_common.skc_cookie.counter);
    __u64 key = cookie ? cookie : (__u64)sk;
    struct tracked_socket *t = bpf_map_lookup_elem(&sockets, &key);
    if (t) {
        if (t->owner_source == OWNER_UNKNOWN) {
            take_owner(&t->owner, task_address, 0, s->reader_pid_namespace);
            t->owner_source = OWNER_FROM_SNAPSHOT;
        }
        return 0;
    }
    __builtin_memset(fresh, 0, sizeof *fresh);
    fresh->flags = CONNECTION_OPEN_UNSEEN;
    fresh->side = state == TCP_LISTEN ? CONNECTION_SIDE_LISTEN : CONNECTION_SIDE_UNKNOWN;
    fresh->netns = BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum);
    add_state(fresh, state);
    take_owner(&fresh->owner, task_address, 0, s->reader_pid_namespace);
    fresh->owner_source = OWNER_FROM_SNAPSHOT;
    if (state == TCP_LISTEN) {
        __u64 port_key = listener_key(fresh->netns, sk);
        bpf_map_update_elem(&listeners, &port_key, &fresh->owner, BPF_NOEXIST);
    }
    if (bpf_map_update_elem(&sockets, &key, fresh, BPF_NOEXIST) == -E2BIG)
        __sync_fetch_and_add(&s->untracked, 1);
    return 0;
}
