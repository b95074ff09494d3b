// SPDX-License-Identifier: MIT OR GPL-2.0-only
/* Lists every socket descriptor in the file tables of the reader's PID
 * namespace: one socket_holder per descriptor, written to the
 * iterator's output. The library reads it instead of reading one
 * /proc/<id>/fd link per descriptor.
 *
 * Field accesses go through CO-RE relocations (vmlinux.h marks every type
 * with preserve_access_index), so one object runs on any kernel with BTF. */
#include "vmlinux.h"
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "socket_holder.h"

/* Superblock magic of sockfs: every socket's file lives there. The mode of
 * an inode is not enough: an O_PATH descriptor of a unix socket's file on
 * disk has S_IFSOCK mode too, with that filesystem's inode number. */
#define SOCKFS_MAGIC 0x534F434B

/* Never used; there so that the object needs BTF. libbpf (1.1) ignores a
 * failed allocation while it maps .BTF.ext to the program's sections when
 * an object needs no BTF otherwise, and bpf_object__load then crashes on
 * what it left half made. An object with a BTF-defined map needs BTF, so
 * that failure fails bpf_object__open_mem instead, and the caller falls
 * back to /proc. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} requires_btf SEC(".maps");

/* The kernel offers bpf_seq_write and the task iterators to GPL-compatible
 * programs only, so this one file is dual-licensed (MIT or GPL-2.0-only,
 * as its first line says) and tells the kernel so. */
char LICENSE[] SEC("license") = "Dual MIT/GPL";

/* The number that the reader's PID namespace gives `leader`, a thread
 * group's leader and so the group itself, or 0 when it has no number there.
 *
 * The iterator visits the tasks of the namespace of the process that
 * created it, which is the reader; task->tgid is the number in the initial
 * namespace. A struct pid holds one (nr, ns) pair per namespace level from
 * the initial one (0) down to its own; the reader's level and namespace come
 * from the reader's own struct pid. They are taken here, at read time, not
 * handed in when the program is loaded: the program outlives fork, and a
 * child may live in a namespace below its parent's. */
static __always_inline unsigned int number_for_reader(struct task_struct *leader)
{
    struct task_struct *reader = (struct task_struct *)bpf_get_current_task();
    struct pid *reader_pid = BPF_CORE_READ(reader, thread_pid);
    struct pid *task_pid = BPF_CORE_READ(leader, thread_pid);
    if (!reader_pid || !task_pid)
        return 0;
    unsigned int level = BPF_CORE_READ(reader_pid, level);
    if (BPF_CORE_READ(task_pid, level) < level)
        return 0;

    /* numbers[level] of both: the index is a run-time value, so the
     * address is computed from the relocated offsets and read by probe. */
    unsigned long numbers = bpf_core_field_offset(struct pid, numbers);
    unsigned long upid_size = bpf_core_type_size(struct upid);
    unsigned long nr_at = bpf_core_field_offset(struct upid, nr);
    unsigned long ns_at = bpf_core_field_offset(struct upid, ns);
    unsigned long reader_upid = (unsigned long)reader_pid + numbers + level * upid_size;
    unsigned long task_upid = (unsigned long)task_pid + numbers + level * upid_size;

    void *reader_ns = 0, *task_ns = 0;
    int nr = 0;
    if (bpf_probe_read_kernel(&reader_ns, sizeof reader_ns, (void *)(reader_upid + ns_at)) ||
        bpf_probe_read_kernel(&task_ns, sizeof task_ns, (void *)(task_upid + ns_at)) ||
        bpf_probe_read_kernel(&nr, sizeof nr, (void *)(task_upid + nr_at)))
        return 0;
    if (!reader_ns || reader_ns != task_ns || nr <= 0)
        return 0;
    return (unsigned int)nr;
}

SEC("sockscope/iter/task_file")
int socket_holders(struct bpf_iter__task_file *ctx)
{
    struct task_struct *task = ctx->task;
    struct file *file = ctx->file;
    if (!task || !file)
        return 0;
    /* A process's descriptors are its leader's file table, as /proc/<id>/fd
     * shows it; a thread that unshared its own table is not a process of
     * its own there. (Threads sharing the leader's table are skipped by the
     * kernel already.) But a leader that ended while other threads run on
     * (pthread_exit) has no table left: then the threads' tables are the
     * process's, as /proc/<id>/task/<tid>/fd shows them. */
    struct task_struct *leader = BPF_CORE_READ(task, group_leader);
    if (task != leader && BPF_CORE_READ(leader, files))
        return 0;
    if (BPF_CORE_READ(file, f_inode, i_sb, s_magic) != SOCKFS_MAGIC)
        return 0;

    struct socket_holder record = {
        .inode = BPF_CORE_READ(file, f_inode, i_ino),
        .process = number_for_reader(leader),
        .fd = ctx->fd,
    };
    if (record.process == 0)
        return 0;
    bpf_seq_write(ctx->meta->seq, &record, sizeof record);
    return 0;
}
