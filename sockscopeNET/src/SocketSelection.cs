// SPDX-License-Identifier: MIT
using System;

namespace sockscopeNET
{
    /// <summary>
    /// Which sockets <see cref="SocketTable.GetSockets(SocketSelection)"/>
    /// reads: protocols and address families, or'ed, in the caller's network
    /// namespace or, with <see cref="AllNamespaces"/>, in every one. Naming
    /// no protocol takes both, and naming no family takes both: <see cref="Tcp"/>
    /// alone is every TCP socket, IPv4 and IPv6.
    /// </summary>
    [Flags]
    public enum SocketSelection
    {
        /// <summary>TCP sockets.</summary>
        Tcp = 0x1,

        /// <summary>UDP sockets.</summary>
        Udp = 0x2,

        /// <summary>IPv4 sockets.</summary>
        IPv4 = 0x4,

        /// <summary>
        /// IPv6 sockets, among them a dual-stack socket's IPv4 connections,
        /// which have IPv4-mapped addresses (::ffff:127.0.0.1).
        /// </summary>
        IPv6 = 0x8,

        /// <summary>Every TCP and UDP socket, IPv4 and IPv6 (of the caller's network namespace, unless or'ed with <see cref="AllNamespaces"/>).</summary>
        All = Tcp | Udp | IPv4 | IPv6,

        /// <summary>
        /// The sockets of every network namespace on the machine: those a
        /// process is in, and those <c>ip netns</c> names (bind-mounted under
        /// /run/netns), each entry with its <see cref="SocketEntry.NetworkNamespace"/>.
        /// A caller with CAP_SYS_ADMIN reads each namespace from inside it;
        /// one without reads a namespace through a process in it that it may
        /// inspect, and counts the namespaces it could not read (see
        /// <see cref="SocketTable.GetSockets(SocketSelection, out int, int[])"/>).
        /// Alone, it takes every protocol and family.
        /// </summary>
        AllNamespaces = 0x10,
    }
}
