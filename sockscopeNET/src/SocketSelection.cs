// SPDX-License-Identifier: MIT
using System;

namespace sockscopeNET
{
    /// <summary>
    /// Which sockets <see cref="SocketTable.GetSockets(SocketSelection)"/>
    /// reads: protocols and address families, or'ed. Naming no protocol
    /// takes both, and naming no family takes both: <see cref="Tcp"/> alone
    /// is every TCP socket, IPv4 and IPv6.
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

        /// <summary>Every TCP and UDP socket, IPv4 and IPv6.</summary>
        All = Tcp | Udp | IPv4 | IPv6,
    }
}
