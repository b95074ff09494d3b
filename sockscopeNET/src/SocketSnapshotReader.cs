// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.IO;
using System.Net.NetworkInformation;
using System.Net.Sockets;

namespace sockscopeNET
{
    /// <summary>
    /// Copies a C interface snapshot into <see cref="SocketEntry"/> objects.
    /// It only reads the snapshot; NativeBridge takes and frees it.
    /// </summary>
    internal static unsafe class SocketSnapshotReader
    {
        private const byte IPPROTO_TCP = 6;
        private const byte AF_INET6 = 10;
        private const byte TCP_CLOSE = 7;
        private const byte TCP_LISTEN = 10;

        // The snapshot members read here end with `sockets`.
        private const int SnapshotMembersRead = 40;

        // The kernel's TCP states 0 to 12 (enum sockscope_state) as .NET
        // names them; SYN_RECV and NEW_SYN_RECV are both a connection on its
        // way to being accepted.
        private static readonly TcpState[] TcpStates =
        {
            TcpState.Unknown, TcpState.Established, TcpState.SynSent, TcpState.SynReceived, TcpState.FinWait1,
            TcpState.FinWait2, TcpState.TimeWait, TcpState.Closed, TcpState.CloseWait, TcpState.LastAck,
            TcpState.Listen, TcpState.Closing, TcpState.SynReceived,
        };

        private static readonly SocketOwner[] NoOwners = new SocketOwner[0];

        internal static SocketEntry[] Read(NativeSnapshot* snapshot)
        {
            if ((ulong)snapshot->Size < SnapshotMembersRead || (ulong)snapshot->SocketSize < (ulong)sizeof(NativeSocket) ||
                (ulong)snapshot->OwnerSize < (ulong)sizeof(NativeOwner))
                throw new IOException("The socket table came from a libsockscope_x64 older than this wrapper (before 1.2).");
            var entries = new SocketEntry[checked((int)(ulong)snapshot->Count)];
            // A process's names are one text in the snapshot, however many
            // sockets it holds: each is decoded once.
            var names = new Dictionary<IntPtr, string?>();
            byte* at = snapshot->Sockets;
            long stride = (long)(ulong)snapshot->SocketSize;
            for (int i = 0; i < entries.Length; i++, at += stride)
                entries[i] = Entry((NativeSocket*)at, (long)(ulong)snapshot->OwnerSize, names);
            return entries;
        }

        private static SocketEntry Entry(NativeSocket* socket, long ownerStride, Dictionary<IntPtr, string?> names)
        {
            bool tcp = socket->Protocol == IPPROTO_TCP;
            bool ipv6 = socket->Family == AF_INET6;
            // A scoped remote address is on the socket's interface too.
            var local = new NativeEndPoint(ipv6, socket->LocalAddress, socket->LocalPort, socket->Interface);
            var remote = new NativeEndPoint(ipv6, socket->RemoteAddress, socket->RemotePort, socket->Interface);
            bool unconnected = socket->State == TCP_LISTEN || socket->State == TCP_CLOSE;
            return new SocketEntry(
                tcp ? ProtocolType.Tcp : ProtocolType.Udp,
                local,
                remote,
                tcp && socket->State < TcpStates.Length ? TcpStates[socket->State] : TcpState.Unknown,
                socket->V6Only == 0 && unconnected && local.IsIPv6Unspecified,
                Count(socket->ReceiveQueue),
                Count(socket->SendQueue),
                unchecked((int)socket->Uid),
                socket->Inode,
                socket->Cookie,
                Owners(socket, ownerStride, names));
        }

        private static int Count(uint count) => count > int.MaxValue ? int.MaxValue : (int)count;

        private static SocketOwner[] Owners(NativeSocket* socket, long stride, Dictionary<IntPtr, string?> names)
        {
            if (socket->OwnerCount == 0) return NoOwners;
            var owners = new SocketOwner[socket->OwnerCount];
            byte* at = socket->Owners;
            for (int i = 0; i < owners.Length; i++, at += stride)
            {
                var owner = (NativeOwner*)at;
                owners[i] = new SocketOwner(unchecked((int)owner->Pid), owner->Fd, Name(owner->Name, names));
            }
            return owners;
        }

        private static string? Name(IntPtr text, Dictionary<IntPtr, string?> names)
        {
            if (!names.TryGetValue(text, out string? name))
            {
                name = StringMarshal.chr2str(text);
                names.Add(text, name);
            }
            return name;
        }
    }
}
