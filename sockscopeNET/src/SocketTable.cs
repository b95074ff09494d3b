// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;

namespace sockscopeNET
{
    /// <summary>
    /// The machine's TCP and UDP sockets, IPv4 and IPv6, of the caller's
    /// network namespace or of every one, each with everything the kernel
    /// says of it and every process that holds it. Every call reads the
    /// system afresh and keeps nothing; calls may run on any thread at once.
    /// </summary>
    /// <example>
    /// <code>
    /// foreach (SocketEntry socket in SocketTable.GetSockets(SocketSelection.Tcp))
    ///     if (socket.State == TcpState.Listen)
    ///         foreach (SocketOwner owner in socket.Owners)
    ///             Console.WriteLine($"{socket.LocalEndPoint} {owner.ProcessId} {owner.ProcessName}");
    /// </code>
    /// </example>
    public static partial class SocketTable
    {
        // SocketSelection's values are the C interface's SOCKSCOPE_TCP,
        // _UDP, _IPV4, _IPV6 and _ALL_NAMESPACES bits.
        private const SocketSelection Known = SocketSelection.All | SocketSelection.AllNamespaces;

        private static readonly ushort[] EveryPort = new ushort[0];

        /// <summary>
        /// A snapshot of the sockets <paramref name="selection"/> asks for:
        /// TCP before UDP, IPv4 before IPv6, each table ordered by local
        /// address and port, then remote address and port; with
        /// <see cref="SocketSelection.AllNamespaces"/>, namespace by
        /// namespace (the caller's first, then by inode). Never null.
        /// </summary>
        /// <param name="selection">Protocols and families, or'ed; naming no protocol (or no family) takes both. <see cref="SocketSelection.AllNamespaces"/> reads every network namespace.</param>
        /// <exception cref="ArgumentException">The selection has no flag, or one that is not a <see cref="SocketSelection"/> member.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read a table (the message gives errno, or says it is unknown).</exception>
        public static IReadOnlyList<SocketEntry> GetSockets(SocketSelection selection = SocketSelection.All) =>
            NativeBridge.Sockets(Checked(selection), 0, EveryPort, out _, out _);

        /// <summary>
        /// As <see cref="GetSockets(SocketSelection)"/>, only the sockets whose
        /// local or remote port is one of <paramref name="ports"/>. The kernel
        /// picks them, so that a query for a few ports costs a fraction of the
        /// whole table on a busy machine.
        /// </summary>
        /// <param name="selection">Protocols and families, or'ed; naming no protocol (or no family) takes both. <see cref="SocketSelection.AllNamespaces"/> reads every network namespace.</param>
        /// <param name="ports">At least one port, each 1 to 65535.</param>
        /// <exception cref="ArgumentNullException"><paramref name="ports"/> is null.</exception>
        /// <exception cref="ArgumentException">The selection has no flag or an unknown one, or <paramref name="ports"/> is empty.</exception>
        /// <exception cref="ArgumentOutOfRangeException">A port is not 1 to 65535.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read a table (the message gives errno, or says it is unknown).</exception>
        public static IReadOnlyList<SocketEntry> GetSockets(SocketSelection selection, params int[] ports)
        {
            if (ports == null) throw new ArgumentNullException(nameof(ports));
            if (ports.Length == 0) throw new ArgumentException("Name at least one port, or call GetSockets(selection) for every port.", nameof(ports));
            return NativeBridge.Sockets(Checked(selection), 0, Wanted(ports), out _, out _);
        }

        /// <summary>
        /// As <see cref="GetSockets(SocketSelection, int[])"/>, and how many
        /// network namespaces <see cref="SocketSelection.AllNamespaces"/>
        /// could not read: a caller without CAP_SYS_ADMIN reads a namespace
        /// only through a process in it that it may inspect, so the
        /// sockets of the others are missing, and this says how many
        /// namespaces they were in. Always 0 without that flag.
        /// </summary>
        /// <param name="selection">Protocols and families, or'ed, and <see cref="SocketSelection.AllNamespaces"/> for every namespace.</param>
        /// <param name="skippedNamespaces">Network namespaces whose sockets are not in the answer.</param>
        /// <param name="ports">Ports, each 1 to 65535; none for every port.</param>
        /// <exception cref="ArgumentNullException"><paramref name="ports"/> is null.</exception>
        /// <exception cref="ArgumentException">The selection has no flag or an unknown one.</exception>
        /// <exception cref="ArgumentOutOfRangeException">A port is not 1 to 65535.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read a table (the message gives errno, or says it is unknown).</exception>
        public static IReadOnlyList<SocketEntry> GetSockets(SocketSelection selection, out int skippedNamespaces, params int[] ports)
        {
            if (ports == null) throw new ArgumentNullException(nameof(ports));
            return NativeBridge.Sockets(Checked(selection), 0, Wanted(ports), out skippedNamespaces, out _);
        }

        /// <summary>
        /// As <see cref="GetSockets(SocketSelection, out int, int[])"/>, with
        /// the <paramref name="details"/> of each socket that the kernel gives
        /// (<see cref="SocketEntry.TcpInfo"/>, <see cref="SocketEntry.Timer"/>,
        /// <see cref="SocketEntry.Memory"/>), and how many processes could
        /// not be inspected. Never null.
        /// </summary>
        /// <param name="selection">Protocols and families, or'ed, and <see cref="SocketSelection.AllNamespaces"/> for every namespace.</param>
        /// <param name="details">What each socket carries besides its row; <see cref="SocketDetails.None"/> costs what GetSockets does.</param>
        /// <param name="ports">Ports, each 1 to 65535; none for every port.</param>
        /// <exception cref="ArgumentNullException"><paramref name="ports"/> is null.</exception>
        /// <exception cref="ArgumentException">The selection or the details have an unknown flag, or the selection none.</exception>
        /// <exception cref="ArgumentOutOfRangeException">A port is not 1 to 65535.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read a table, or (details asked of a library before 1.4) refused them.</exception>
        public static SocketSnapshot TakeSnapshot(SocketSelection selection, SocketDetails details, params int[] ports)
        {
            if (ports == null) throw new ArgumentNullException(nameof(ports));
            if ((details & ~KnownDetails) != 0)
                throw new ArgumentException($"Not socket details: {details}. Or TcpInfo, Timer and Memory, or pass None.", nameof(details));
            SocketEntry[] sockets = NativeBridge.Sockets(Checked(selection), (uint)details, Wanted(ports), out int skippedNamespaces,
                out int unreadableProcesses);
            return new SocketSnapshot(sockets, unreadableProcesses, skippedNamespaces);
        }

        /// <summary>
        /// Destroys <paramref name="socket"/> as the kernel's SOCK_DESTROY
        /// does: a TCP connection is aborted (its peer gets a reset, a call
        /// blocked on it fails), a UDP socket's calls fail. The socket is
        /// found again by its protocol, family, ends, interface and cookie,
        /// never another one made since with the same ends.
        /// </summary>
        /// <param name="socket">A socket of the caller's network namespace, from a snapshot.</param>
        /// <returns>True when destroyed; false when it had closed since.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="socket"/> is null.</exception>
        /// <exception cref="ArgumentException">The socket is in another network namespace.</exception>
        /// <exception cref="UnauthorizedAccessException">The caller lacks CAP_NET_ADMIN.</exception>
        /// <exception cref="NotSupportedException">The kernel destroys no such socket (built without SOCK_DESTROY).</exception>
        /// <exception cref="System.IO.IOException">The library failed otherwise (the message gives errno).</exception>
        public static bool Kill(SocketEntry socket)
        {
            if (socket == null) throw new ArgumentNullException(nameof(socket));
            return NativeBridge.Destroy(socket);
        }

        private const SocketDetails KnownDetails = SocketDetails.TcpInfo | SocketDetails.Timer | SocketDetails.Memory;

        private static ushort[] Wanted(int[] ports)
        {
            if (ports.Length == 0) return EveryPort;
            var wanted = new ushort[ports.Length];
            for (int i = 0; i < ports.Length; i++)
            {
                if (ports[i] < 1 || ports[i] > 65535)
                    throw new ArgumentOutOfRangeException(nameof(ports), ports[i], "A port is 1 to 65535.");
                wanted[i] = (ushort)ports[i];
            }
            return wanted;
        }

        private static uint Checked(SocketSelection selection)
        {
            if (selection == 0 || (selection & ~Known) != 0)
                throw new ArgumentException($"Not a socket selection: {selection}. Or Tcp, Udp, IPv4, IPv6 and AllNamespaces, or pass All.", nameof(selection));
            return (uint)selection;
        }
    }
}
