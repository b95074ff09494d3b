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
        private const uint SOCKSCOPE_SEND_QUEUE_UNKNOWN = 0x1;

        // The snapshot members read here end with `skipped_namespaces`.
        private const int SnapshotMembersRead = 48;

        // An owner before UserContainer and ContainerUser were added.
        private const int OwnerMembersRequired = 40;

        // A socket before the detail pointers (1.2, 1.3), and where each
        // pointer ends: a socket holds it when the stride reaches that far.
        private const int SocketMembersRequired = 128;
        private static readonly long TcpInfoEnd = End(nameof(NativeSocket.TcpInfo));
        private static readonly long TimerEnd = End(nameof(NativeSocket.Timer));
        private static readonly long MemoryEnd = End(nameof(NativeSocket.Memory));

        private static long End(string member) =>
            (long)System.Runtime.InteropServices.Marshal.OffsetOf(typeof(NativeSocket), member) + IntPtr.Size;

        // A tcp_info's Congestion pointer is whole in one this long.
        private static readonly uint CongestionEnd =
            (uint)System.Runtime.InteropServices.Marshal.OffsetOf(typeof(NativeTcpInfo), nameof(NativeTcpInfo.Congestion)) + (uint)IntPtr.Size;

        private static readonly SocketOwner[] NoOwners = new SocketOwner[0];

        internal static SocketEntry[] Read(NativeSnapshot* snapshot, out int skippedNamespaces, out int unreadableProcesses)
        {
            if ((ulong)snapshot->Size < SnapshotMembersRead || (ulong)snapshot->SocketSize < SocketMembersRequired ||
                (ulong)snapshot->OwnerSize < OwnerMembersRequired)
                throw new IOException("The socket table came from a libsockscope_x64 older than this wrapper (before 1.2).");
            skippedNamespaces = Count(snapshot->SkippedNamespaces);
            unreadableProcesses = Count(snapshot->UnreadableProcesses);
            var entries = new SocketEntry[checked((int)(ulong)snapshot->Count)];
            // A process's names and cgroup, and a namespace's name, are one
            // text in the snapshot, however many sockets refer to it: each is
            // decoded once.
            var texts = new Dictionary<IntPtr, string?>();
            byte* at = snapshot->Sockets;
            long stride = (long)(ulong)snapshot->SocketSize;
            for (int i = 0; i < entries.Length; i++, at += stride)
                entries[i] = Entry((NativeSocket*)at, stride, (long)(ulong)snapshot->OwnerSize, texts);
            return entries;
        }

        private static SocketEntry Entry(NativeSocket* socket, long stride, long ownerStride, Dictionary<IntPtr, string?> texts)
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
                tcp ? NativeTcpStates.ToTcpState(socket->State) : TcpState.Unknown,
                socket->V6Only == 0 && unconnected && local.IsIPv6Unspecified,
                Count(socket->ReceiveQueue),
                Count(socket->SendQueue),
                (socket->Flags & SOCKSCOPE_SEND_QUEUE_UNKNOWN) == 0,
                unchecked((int)socket->Uid),
                socket->Inode,
                socket->Cookie,
                socket->Netns,
                Text(socket->NetnsName, texts),
                Owners(socket, ownerStride, texts),
                stride >= TcpInfoEnd && socket->TcpInfo != null ? TcpInfo(socket->TcpInfo, texts) : null,
                stride >= TimerEnd && socket->Timer != null ? Timer(socket->Timer) : null,
                stride >= MemoryEnd && socket->Memory != null ? new SocketMemory(Filled<NativeMemory>(socket->Memory, socket->Memory->Size)) : null);
        }

        // A detail structure's members up to the size its library filled;
        // those it lacks (an older library's) read 0, those it adds past
        // the mirror are left.
        private static T Filled<T>(void* source, uint size) where T : unmanaged
        {
            T copy = default;
            Buffer.MemoryCopy(source, &copy, sizeof(T), Math.Min(size, (uint)sizeof(T)));
            return copy;
        }

        private static SocketTcpInfo TcpInfo(NativeTcpInfo* native, Dictionary<IntPtr, string?> texts)
        {
            NativeTcpInfo info = Filled<NativeTcpInfo>(native, native->Size);
            return new SocketTcpInfo(info, native->Size >= CongestionEnd ? Text(info.Congestion, texts) : null);
        }

        private static SocketTimer Timer(NativeTimer* native)
        {
            NativeTimer timer = Filled<NativeTimer>(native, native->Size);
            return new SocketTimer((SocketTimerKind)timer.Kind, TimeSpan.FromTicks(timer.ExpiresMs * TimeSpan.TicksPerMillisecond),
                timer.Retransmits);
        }

        private static int Count(uint count) => count > int.MaxValue ? int.MaxValue : (int)count;

        private static SocketOwner[] Owners(NativeSocket* socket, long stride, Dictionary<IntPtr, string?> texts)
        {
            if (socket->OwnerCount == 0) return NoOwners;
            var owners = new SocketOwner[socket->OwnerCount];
            byte* at = socket->Owners;
            for (int i = 0; i < owners.Length; i++, at += stride)
            {
                var owner = (NativeOwner*)at;
                // A user's container: where the library fills it.
                string? userContainer = stride >= sizeof(NativeOwner) ? Text(owner->UserContainer, texts) : null;
                owners[i] = new SocketOwner(unchecked((int)owner->Pid), owner->Fd, Text(owner->Name, texts),
                    Text(owner->Cgroup, texts), Text(owner->Container, texts), userContainer,
                    userContainer == null ? null : unchecked((int)owner->ContainerUser));
            }
            return owners;
        }

        private static string? Text(IntPtr text, Dictionary<IntPtr, string?> texts)
        {
            if (text == IntPtr.Zero) return null;
            if (!texts.TryGetValue(text, out string? decoded))
            {
                decoded = StringMarshal.chr2str(text);
                texts.Add(text, decoded);
            }
            return decoded;
        }
    }
}
