// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.IO;
using System.Net;
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

        private static readonly ReadOnlyCollection<SocketOwner> NoOwners = new ReadOnlyCollection<SocketOwner>(new SocketOwner[0]);

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
            IPAddress local = Address(ipv6, socket->LocalAddress, socket->Interface);
            IPAddress remote = Address(ipv6, socket->RemoteAddress, socket->Interface);
            bool unconnected = socket->State == TCP_LISTEN || socket->State == TCP_CLOSE;
            return new SocketEntry(
                tcp ? ProtocolType.Tcp : ProtocolType.Udp,
                new IPEndPoint(local, socket->LocalPort),
                new IPEndPoint(remote, socket->RemotePort),
                tcp && socket->State < TcpStates.Length ? TcpStates[socket->State] : TcpState.Unknown,
                ipv6 && socket->V6Only == 0 && unconnected && local.Equals(IPAddress.IPv6Any),
                Count(socket->ReceiveQueue),
                Count(socket->SendQueue),
                unchecked((int)socket->Uid),
                socket->Inode,
                socket->Cookie,
                Owners(socket, ownerStride, names));
        }

        // Address bytes are in network order, IPv4 in the first four. The
        // interface index is a link-local address's zone.
        private static IPAddress Address(bool ipv6, byte* bytes, uint interfaceIndex)
        {
            if (!ipv6) return new IPAddress(*(uint*)bytes);
#if NETCOREAPP2_1_OR_GREATER
            var address = new IPAddress(new ReadOnlySpan<byte>(bytes, 16));
#else
            var copy = new byte[16];
            for (int i = 0; i < copy.Length; i++) copy[i] = bytes[i];
            var address = new IPAddress(copy);
#endif
            if (address.IsIPv6LinkLocal) address.ScopeId = interfaceIndex;
            return address;
        }

        private static int Count(uint count) => count > int.MaxValue ? int.MaxValue : (int)count;

        private static IReadOnlyList<SocketOwner> Owners(NativeSocket* socket, long stride, Dictionary<IntPtr, string?> names)
        {
            if (socket->OwnerCount == 0) return NoOwners;
            var owners = new SocketOwner[socket->OwnerCount];
            byte* at = socket->Owners;
            for (int i = 0; i < owners.Length; i++, at += stride)
            {
                var owner = (NativeOwner*)at;
                owners[i] = new SocketOwner(unchecked((int)owner->Pid), owner->Fd, Name(owner->Name, names));
            }
            return new ReadOnlyCollection<SocketOwner>(owners);
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
