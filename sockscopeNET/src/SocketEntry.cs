// SPDX-License-Identifier: MIT
#nullable enable
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Threading;

namespace sockscopeNET
{
    /// <summary>
    /// One TCP or UDP socket as <see cref="SocketTable.GetSockets(SocketSelection)"/>
    /// found it, with every process that holds it. A copy: nothing in it
    /// changes after the call, and nothing native stays behind it.
    /// </summary>
    public sealed class SocketEntry
    {
        // The owners are wrapped when first asked for, once, whichever thread
        // asks first. The endpoints are kept native (NativeEndPoint says
        // why) and every read makes a new IPEndPoint: IPEndPoint and
        // IPAddress can be changed, and one reader's change must not reach
        // the others.
        private readonly NativeEndPoint local;
        private readonly NativeEndPoint remote;
        private readonly SocketOwner[] owners;
        private IReadOnlyList<SocketOwner>? ownerList;

        internal SocketEntry(ProtocolType protocol, NativeEndPoint local, NativeEndPoint remote, TcpState state,
            bool isDualStack, int receiveQueue, int sendQueue, bool sendQueueKnown, int userId, ulong inode, ulong cookie, ulong networkNamespace,
            string? networkNamespaceName, SocketOwner[] owners, SocketTcpInfo? tcpInfo = null, SocketTimer? timer = null,
            SocketMemory? memory = null)
        {
            Protocol = protocol;
            this.local = local;
            this.remote = remote;
            State = state;
            IsDualStack = isDualStack;
            ReceiveQueue = receiveQueue;
            SendQueue = sendQueue;
            IsSendQueueKnown = sendQueueKnown;
            UserId = userId;
            Inode = inode;
            Cookie = cookie;
            NetworkNamespace = networkNamespace;
            NetworkNamespaceName = networkNamespaceName;
            this.owners = owners;
            TcpInfo = tcpInfo;
            Timer = timer;
            Memory = memory;
        }

        // What SocketTable.Kill needs to find the socket again.
        internal NativeEndPoint Local => local;
        internal NativeEndPoint Remote => remote;

        /// <summary><see cref="ProtocolType.Tcp"/> or <see cref="ProtocolType.Udp"/>.</summary>
        public ProtocolType Protocol { get; }

        /// <summary>
        /// The local address and port. Its address family is the socket's: an
        /// IPv6 socket's IPv4 connection has an IPv4-mapped address
        /// (::ffff:127.0.0.1). A link-local IPv6 address carries the index of
        /// the socket's interface as its <see cref="IPAddress.ScopeId"/>.
        /// Each read gives a new copy, which the reader may change.
        /// </summary>
        public IPEndPoint LocalEndPoint => local.ToEndPoint();

        /// <summary>
        /// The peer's address and port, link-local ones with their
        /// <see cref="IPAddress.ScopeId"/> as in <see cref="LocalEndPoint"/>.
        /// With no peer (a listener, an unconnected UDP socket) the
        /// family's unspecified address (0.0.0.0 or ::) and port 0. A
        /// connected UDP socket has its peer here.
        /// </summary>
        public IPEndPoint RemoteEndPoint => remote.ToEndPoint();

        /// <summary>
        /// A TCP socket's state. SYN_RECV and NEW_SYN_RECV (a connection not
        /// accepted yet) are both <see cref="TcpState.SynReceived"/>, CLOSE is
        /// <see cref="TcpState.Closed"/>. Always <see cref="TcpState.Unknown"/>
        /// for UDP, connected or not.
        /// </summary>
        public TcpState State { get; }

        /// <summary>
        /// True for an IPv6 listener or unconnected socket on the unspecified
        /// address (::) that also takes IPv4 (IPV6_V6ONLY off), which
        /// <c>ss</c> shows as <c>*</c>; false for every other socket. Where the
        /// kernel's socket diagnostics are missing and the tables come from
        /// /proc/net, which does not say, such a socket counts as dual-stack.
        /// </summary>
        public bool IsDualStack { get; }

        /// <summary>
        /// Bytes received and not read yet; for a listener, connections
        /// waiting to be accepted.
        /// </summary>
        public int ReceiveQueue { get; }

        /// <summary>
        /// Bytes not acknowledged (TCP) or not sent (UDP) yet; for a listener,
        /// how many connections may wait to be accepted (its backlog). 0 when
        /// not known: see <see cref="IsSendQueueKnown"/>.
        /// </summary>
        public int SendQueue { get; }

        /// <summary>
        /// False for a TCP listener read from /proc/net (without the privilege
        /// to enter its namespace, or where netlink is refused), which does
        /// not carry the listener's backlog: <see cref="SendQueue"/> is 0
        /// there, not the backlog.
        /// </summary>
        public bool IsSendQueueKnown { get; }

        /// <summary>The user id that owns the socket (uid_t bits: ids above 2147483647 are negative).</summary>
        public int UserId { get; }

        /// <summary>
        /// The socket's inode, which /proc/&lt;pid&gt;/fd shows as
        /// socket:[inode]; 0 when no descriptor refers to it (TIME_WAIT, a
        /// connection not accepted yet).
        /// </summary>
        public ulong Inode { get; }

        /// <summary>The kernel's socket cookie, as getsockopt SO_COOKIE gives it; 0 when not known.</summary>
        public ulong Cookie { get; }

        /// <summary>
        /// The socket's network namespace: the inode that /proc/&lt;pid&gt;/ns/net
        /// of a process in it links to (net:[inode]), or that stat gives for
        /// its file under /run/netns. 0 when /proc could not say. Sockets of
        /// several namespaces come only with <see cref="SocketSelection.AllNamespaces"/>;
        /// without it, every socket is in the caller's namespace.
        /// </summary>
        public ulong NetworkNamespace { get; }

        /// <summary>
        /// The name <c>ip netns</c> gives the socket's namespace (its file
        /// under /run/netns); null when it has none, as the machine's own
        /// namespace and a container's usually do. Any text root chose:
        /// escape it before printing it.
        /// </summary>
        public string? NetworkNamespaceName { get; }

        /// <summary>
        /// The kernel's TCP state of the connection, when
        /// <see cref="SocketDetails.TcpInfo"/> asked for it and the kernel gave
        /// it (TCP sockets read over netlink); null otherwise.
        /// </summary>
        public SocketTcpInfo? TcpInfo { get; }

        /// <summary>
        /// The socket's pending timer, when <see cref="SocketDetails.Timer"/>
        /// asked for it and the kernel gave it (TCP sockets read over
        /// netlink); null otherwise.
        /// </summary>
        public SocketTimer? Timer { get; }

        /// <summary>
        /// The socket's memory, when <see cref="SocketDetails.Memory"/> asked
        /// for it and the kernel gave it (sockets read over netlink); null
        /// otherwise.
        /// </summary>
        public SocketMemory? Memory { get; }

        /// <summary>
        /// Every process that holds the socket, lowest process id first (then
        /// lowest descriptor). Empty when none is known: no descriptor
        /// refers to it, or its holders are processes the caller may not
        /// inspect.
        /// </summary>
        public IReadOnlyList<SocketOwner> Owners =>
            ownerList ?? Publish(ref ownerList, owners.Length == 0 ? NoOwners : new ReadOnlyCollection<SocketOwner>(owners));

        private static readonly IReadOnlyList<SocketOwner> NoOwners = new ReadOnlyCollection<SocketOwner>(new SocketOwner[0]);

        // The first value stored wins, so that every caller sees one object.
        private static T Publish<T>(ref T? field, T value) where T : class =>
            Interlocked.CompareExchange(ref field, value, null) ?? value;
    }
}
