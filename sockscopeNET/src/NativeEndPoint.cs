// SPDX-License-Identifier: MIT
#nullable enable
using System.Net;

namespace sockscopeNET
{
    /// <summary>
    /// An address and port as the C interface gives them, kept in the entry
    /// until its IPEndPoint is first asked for: a snapshot of many thousand
    /// sockets then makes one object per socket instead of five, and the
    /// collector has that much less to trace while the list is built.
    /// </summary>
    internal readonly unsafe struct NativeEndPoint
    {
        // The address bytes in network order, the first eight in `head`
        // (an IPv4 address is its first four), read as stored.
        private readonly ulong head;
        private readonly ulong tail;
        private readonly uint interfaceIndex;
        private readonly ushort port;
        private readonly bool ipv6;

        internal NativeEndPoint(bool ipv6, byte* address, ushort port, uint interfaceIndex)
        {
            head = *(ulong*)address;
            tail = ipv6 ? *(ulong*)(address + 8) : 0;
            this.interfaceIndex = interfaceIndex;
            this.port = port;
            this.ipv6 = ipv6;
        }

        internal bool IsIPv6Unspecified => ipv6 && head == 0 && tail == 0;

        internal bool IsIPv6 => ipv6;
        internal ushort Port => port;
        internal uint InterfaceIndex => interfaceIndex;

        /// <summary>Writes the 16 address bytes as the C interface holds them (IPv4 in the first four).</summary>
        internal void CopyAddress(byte* address)
        {
            *(ulong*)address = head;
            *(ulong*)(address + 8) = tail;
        }

        /// <summary>A new IPEndPoint; a link-local address gets the interface as its zone.</summary>
        internal IPEndPoint ToEndPoint()
        {
            if (!ipv6) return new IPEndPoint(new IPAddress((long)(uint)head), port);
            ulong* bytes = stackalloc ulong[2];
            bytes[0] = head;
            bytes[1] = tail;
#if NETCOREAPP2_1_OR_GREATER
            var address = new IPAddress(new System.ReadOnlySpan<byte>(bytes, 16));
#else
            var copy = new byte[16];
            for (int i = 0; i < copy.Length; i++) copy[i] = ((byte*)bytes)[i];
            var address = new IPAddress(copy);
#endif
            if (address.IsIPv6LinkLocal) address.ScopeId = interfaceIndex;
            return new IPEndPoint(address, port);
        }
    }
}
