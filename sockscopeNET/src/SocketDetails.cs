// SPDX-License-Identifier: MIT
#nullable enable
using System;

namespace sockscopeNET
{
    /// <summary>
    /// What <see cref="SocketTable.TakeSnapshot(SocketSelection, SocketDetails, int[])"/>
    /// reads of each socket besides its row, or'ed. The kernel gives them
    /// for sockets read over netlink; a table read from /proc/net (another
    /// namespace without CAP_SYS_ADMIN, or netlink refused) carries none.
    /// </summary>
    [Flags]
    public enum SocketDetails
    {
        /// <summary>Nothing besides: a snapshot costs what GetSockets does.</summary>
        None = 0,

        /// <summary>The kernel's TCP state of each connection: <see cref="SocketEntry.TcpInfo"/> (TCP only).</summary>
        TcpInfo = 0x1,

        /// <summary>Each TCP socket's pending timer: <see cref="SocketEntry.Timer"/> (TCP only).</summary>
        Timer = 0x2,

        /// <summary>Each socket's memory: <see cref="SocketEntry.Memory"/>.</summary>
        Memory = 0x4,
    }

    /// <summary>What a TCP socket's pending timer is for.</summary>
    public enum SocketTimerKind
    {
        /// <summary>No timer is pending.</summary>
        Off = 0,

        /// <summary>Retransmission (or a loss probe).</summary>
        Retransmit = 1,

        /// <summary>Keepalive (SO_KEEPALIVE).</summary>
        Keepalive = 2,

        /// <summary>The end of TIME_WAIT.</summary>
        TimeWait = 3,

        /// <summary>A zero-window probe.</summary>
        Probe = 4,
    }

    /// <summary>A TCP socket's pending timer, as it was when the snapshot was taken.</summary>
    public sealed class SocketTimer
    {
        internal SocketTimer(SocketTimerKind kind, TimeSpan expires, int retransmits)
        {
            Kind = kind;
            Expires = expires;
            Retransmits = retransmits;
        }

        /// <summary>What the timer is for; <see cref="SocketTimerKind.Off"/> when none is pending.</summary>
        public SocketTimerKind Kind { get; }

        /// <summary>From the snapshot to when it fires (milliseconds); zero when off or already due.</summary>
        public TimeSpan Expires { get; }

        /// <summary>Retransmissions (or keepalive probes) so far.</summary>
        public int Retransmits { get; }
    }

    /// <summary>A socket's memory in bytes, as the kernel accounts it.</summary>
    public sealed class SocketMemory
    {
        internal SocketMemory(in NativeMemory memory)
        {
            ReceiveAllocated = Count(memory.ReceiveAllocated);
            ReceiveBuffer = Count(memory.ReceiveBuffer);
            SendAllocated = Count(memory.SendAllocated);
            SendBuffer = Count(memory.SendBuffer);
            ForwardAllocated = Count(memory.ForwardAllocated);
            SendQueued = Count(memory.SendQueued);
            Options = Count(memory.Options);
            Backlog = Count(memory.Backlog);
            Drops = Count(memory.Drops);
        }

        internal static int Count(uint count) => count > int.MaxValue ? int.MaxValue : (int)count;

        /// <summary>Received and not read yet (rmem_alloc).</summary>
        public int ReceiveAllocated { get; }

        /// <summary>The receive buffer's limit (rcvbuf).</summary>
        public int ReceiveBuffer { get; }

        /// <summary>Being sent (wmem_alloc).</summary>
        public int SendAllocated { get; }

        /// <summary>The send buffer's limit (sndbuf).</summary>
        public int SendBuffer { get; }

        /// <summary>Reserved ahead (fwd_alloc).</summary>
        public int ForwardAllocated { get; }

        /// <summary>Written and not freed yet (wmem_queued).</summary>
        public int SendQueued { get; }

        /// <summary>Held by socket options and filters (optmem).</summary>
        public int Options { get; }

        /// <summary>Waiting for the socket's lock.</summary>
        public int Backlog { get; }

        /// <summary>Packets dropped, in all.</summary>
        public int Drops { get; }
    }

    /// <summary>
    /// A sockets snapshot of <see cref="SocketTable.TakeSnapshot(SocketSelection, SocketDetails, int[])"/>:
    /// the sockets, and what the library could not see.
    /// </summary>
    public sealed class SocketSnapshot
    {
        internal SocketSnapshot(SocketEntry[] sockets, int unreadableProcesses, int skippedNamespaces)
        {
            Sockets = Array.AsReadOnly(sockets);
            UnreadableProcesses = unreadableProcesses;
            SkippedNamespaces = skippedNamespaces;
        }

        /// <summary>The sockets, in the order <see cref="SocketTable.GetSockets(SocketSelection)"/> gives them.</summary>
        public System.Collections.Generic.IReadOnlyList<SocketEntry> Sockets { get; }

        /// <summary>
        /// Processes whose descriptors the caller may not read (another
        /// user's; root without CAP_SYS_PTRACE; one outside the caller's user
        /// namespace): the sockets they hold may lack their owners.
        /// </summary>
        public int UnreadableProcesses { get; }

        /// <summary>
        /// With <see cref="SocketSelection.AllNamespaces"/>, the network
        /// namespaces whose sockets are missing; always 0 without it.
        /// </summary>
        public int SkippedNamespaces { get; }
    }
}
