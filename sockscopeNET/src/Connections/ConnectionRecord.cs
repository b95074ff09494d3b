// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Threading;

namespace sockscopeNET
{
    /// <summary>
    /// One TCP connection as it opened or closed, with the process that made
    /// it, from <see cref="SocketTable.WatchConnections(CancellationToken)"/>.
    /// A copy: nothing in it changes, and nothing native stays behind it.
    /// </summary>
    public sealed class ConnectionRecord
    {
        // The endpoints are kept native, and each read makes a new copy (as SocketEntry's).
        private readonly NativeEndPoint local;
        private readonly NativeEndPoint remote;

        internal ConnectionRecord(NativeEndPoint local, NativeEndPoint remote)
        {
            this.local = local;
            this.remote = remote;
        }

        /// <summary>Whether the connection opened or closed.</summary>
        public ConnectionKind Kind { get; internal init; }

        /// <summary><see cref="ProtocolType.Tcp"/>.</summary>
        public ProtocolType Protocol { get; internal init; }

        /// <summary>
        /// <see cref="AddressFamily.InterNetwork"/> or <see cref="AddressFamily.InterNetworkV6"/>:
        /// the socket's (an IPv6 socket's IPv4 connection is IPv6, with
        /// IPv4-mapped addresses).
        /// </summary>
        public AddressFamily AddressFamily { get; internal init; }

        /// <summary>The local address and port: a new copy at each read, which the reader may change.</summary>
        public IPEndPoint LocalEndPoint => local.ToEndPoint();

        /// <summary>The peer's address and port (a new copy at each read); for a listener, the unspecified address and port 0.</summary>
        public IPEndPoint RemoteEndPoint => remote.ToEndPoint();

        /// <summary>
        /// The connection's network namespace, as <see cref="SocketEntry.NetworkNamespace"/>:
        /// connections of every namespace are reported.
        /// </summary>
        public ulong NetworkNamespace { get; internal init; }

        /// <summary>The namespace's name under /run/netns (<c>ip netns</c>); null when it has none.</summary>
        public string? NetworkNamespaceName { get; internal init; }

        /// <summary>
        /// The kernel's socket cookie (getsockopt SO_COOKIE), which tells
        /// connections apart where addresses repeat (across namespaces, or a
        /// port used again): an open record and its close share it.
        /// </summary>
        public ulong Cookie { get; internal init; }

        /// <summary>
        /// The owner's process id, in the PID namespace of the process that
        /// watches; 0 when unknown or in a PID namespace it can't see. See
        /// <see cref="OwnerSource"/> for when the owner was taken. A socket
        /// passed to another process (SCM_RIGHTS, fork) keeps the owner that
        /// made it.
        /// </summary>
        public int ProcessId { get; internal init; }

        /// <summary>
        /// The owner's whole name (up to 63 bytes; the kernel's 15-byte comm
        /// beyond that); null when unknown. Any text a process chose: escape
        /// it before printing it.
        /// </summary>
        public string? ProcessName { get; internal init; }

        /// <summary>The owner's comm, the kernel's name of at most 15 bytes that ps shows; null when unknown.</summary>
        public string? Comm { get; internal init; }

        /// <summary>
        /// The owner's cgroup path, as <see cref="SocketOwner.Cgroup"/>; null
        /// when the cgroup is gone or may not be looked up.
        /// </summary>
        public string? Cgroup { get; internal init; }

        /// <summary>The container the owner runs in, read from <see cref="Cgroup"/> as <see cref="SocketOwner.ContainerId"/>; null for none.</summary>
        public string? ContainerId { get; internal init; }

        /// <summary>An id named in a cgroup directory a user owns, as <see cref="SocketOwner.UserContainerId"/>; never in <see cref="ContainerId"/>.</summary>
        public string? UserContainerId { get; internal init; }

        /// <summary>The uid owning <see cref="UserContainerId"/>'s cgroup directory, as <see cref="SocketOwner.ContainerUserId"/>.</summary>
        public int? ContainerUserId { get; internal init; }

        /// <summary>Whether this end connected, was accepted or listens.</summary>
        public ConnectionSide Side { get; internal init; }

        /// <summary>Where the owner was taken.</summary>
        public ConnectionOwnerSource OwnerSource { get; internal init; }

        /// <summary>How the connection ended; <see cref="ConnectionEnd.Open"/> in an open record.</summary>
        public ConnectionEnd End { get; internal init; }

        /// <summary>The socket's error at close, an errno (104 ECONNRESET, 111 ECONNREFUSED, 110 ETIMEDOUT ...); 0 for none.</summary>
        public int Error { get; internal init; }

        /// <summary>
        /// The TCP states the connection went through, oldest first, as
        /// <see cref="SocketEntry.State"/> names them; a closed record's last
        /// is <see cref="TcpState.Closed"/>. At most 16: see <see cref="StatesIncomplete"/>.
        /// </summary>
        public IReadOnlyList<TcpState> States { get; internal init; } = Array.Empty<TcpState>();

        /// <summary>True when the connection went through more than 16 states and some in the middle are missing from <see cref="States"/>.</summary>
        public bool StatesIncomplete { get; internal init; }

        /// <summary>
        /// When the connection opened; null when its opening was not seen (it
        /// opened before the watch started, or while the kernel's table of
        /// sockets was full).
        /// </summary>
        public DateTimeOffset? OpenedAt { get; internal init; }

        /// <summary>When the connection closed; null in an open record.</summary>
        public DateTimeOffset? ClosedAt { get; internal init; }

        /// <summary>
        /// How long the connection lived, from the kernel's nanoseconds rounded
        /// down to a tick (so within a tick of <see cref="ClosedAt"/> minus
        /// <see cref="OpenedAt"/>, each rounded too); null when either is null.
        /// </summary>
        public TimeSpan? Lifetime { get; internal init; }

        /// <summary>Bytes sent and acknowledged at close, as <c>ss -i</c> shows bytes_acked (the SYN and FIN count one each); 0 in an open record.</summary>
        public ulong BytesSent { get; internal init; }

        /// <summary>Bytes received at close, as <c>ss -i</c> shows bytes_received (the peer's FIN counts one); 0 in an open record.</summary>
        public ulong BytesReceived { get; internal init; }

        /// <summary>
        /// The process whose call (close, shutdown ...) began the close, which
        /// may differ from the owner; 0 when unknown, or when the kernel
        /// closed it (a timeout, a reset received).
        /// </summary>
        public int CloserProcessId { get; internal init; }

        /// <summary>
        /// How many records the kernel lost (its buffer was full, or a state
        /// change ran where no program could see it) after the record before
        /// this one and before this one: 0 unless records are lost. Each may
        /// have been any connection's open or close. See
        /// <see cref="ConnectionWatchOptions.RecordsLostCallback"/> for
        /// losses with no record after them yet.
        /// </summary>
        public long LostBefore { get; internal init; }
    }
}
