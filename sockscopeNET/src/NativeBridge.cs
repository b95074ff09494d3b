// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>
    /// The one place that calls native code: it passes names across and
    /// turns native snapshots into managed rows (the C interface's with
    /// SocketSnapshotReader), giving every block back before it returns.
    /// Nothing native outlives a call.
    /// </summary>
    internal static unsafe partial class NativeBridge
    {
        internal static uint ProcessId(string name) => LookUp(name, NativeMethods.GetProcessId);

        internal static uint LoopbackPort(string name) => LookUp(name, NativeMethods.GetNetPort);

        // Each table is one line: its two native calls and its record type.

        internal static statTCPROW_NET[] TcpTable() =>
            Snapshot<NativeTcpRow, statTCPROW_NET>(NativeMethods.GetTcpTable, NativeMethods.FreeTcpTable);

        internal static statUDPROW_NET[] UdpTable() =>
            Snapshot<NativeUdpRow, statUDPROW_NET>(NativeMethods.GetUdpTable, NativeMethods.FreeUdpTable);

        internal static statTCPROW_NET[] Tcp6Table() =>
            Snapshot<NativeTcpRow, statTCPROW_NET>(NativeMethods.GetTcp6Table, NativeMethods.FreeTcpTable);

        internal static statUDPROW_NET[] Udp6Table() =>
            Snapshot<NativeUdpRow, statUDPROW_NET>(NativeMethods.GetUdp6Table, NativeMethods.FreeUdpTable);

        /// <summary>
        /// The sockets the C interface's selection bits <paramref name="what"/>
        /// ask for, on <paramref name="ports"/> only unless that is empty; the
        /// caller has checked both. <paramref name="skippedNamespaces"/>: the
        /// network namespaces the library could not read. <paramref name="details"/>:
        /// the C interface's SOCKSCOPE_TCP_INFO, _TIMER and _MEMORY bits; none
        /// passes the selection at its size before them, which every library
        /// since 1.2 takes.
        /// </summary>
        internal static SocketEntry[] Sockets(uint what, uint details, ushort[] ports, out int skippedNamespaces,
            out int unreadableProcesses)
        {
            fixed (ushort* wanted = ports)
            {
                var selection = new NativeSelection
                {
                    Size = (UIntPtr)(details == 0 ? NativeSelection.SizeBeforeDetails : sizeof(NativeSelection)),
                    What = what,
                    Ports = wanted,
                    PortCount = (UIntPtr)ports.Length,
                    Details = details,
                };
                NativeSnapshot* snapshot = NativeMethods.TakeSnapshot(&selection);
                if (snapshot == null) throw Failure("The socket table", Marshal.GetLastWin32Error());
                try
                {
                    return SocketSnapshotReader.Read(snapshot, out skippedNamespaces, out unreadableProcesses);
                }
                finally
                {
                    NativeMethods.FreeSnapshot(snapshot);
                }
            }
        }

        private const int EPERM = 1;
        private const int ENOENT = 2;
        private const int EINVAL = 22;
        private const int EOPNOTSUPP = 95; // ENOTSUP on Linux

        /// <summary>
        /// Destroys the socket <paramref name="entry"/> describes, found again
        /// by its protocol, family, ends, interface, cookie and namespace:
        /// true when destroyed, false when it had closed since.
        /// </summary>
        internal static bool Destroy(SocketEntry entry)
        {
            var socket = new NativeSocket
            {
                Protocol = (byte)entry.Protocol,
                Family = (byte)(entry.Local.IsIPv6 ? 10 : 2),
                Interface = entry.Local.InterfaceIndex,
                LocalPort = entry.Local.Port,
                RemotePort = entry.Remote.Port,
                Cookie = entry.Cookie,
                Netns = entry.NetworkNamespace,
            };
            entry.Local.CopyAddress(socket.LocalAddress);
            entry.Remote.CopyAddress(socket.RemoteAddress);
            if (NativeMethods.DestroySocket(&socket) == 0) return true;
            int errno = Marshal.GetLastWin32Error();
            switch (errno)
            {
                case ENOENT: return false;
                case EPERM: throw new UnauthorizedAccessException("Destroying a socket takes CAP_NET_ADMIN.");
                case EOPNOTSUPP: throw new NotSupportedException("This kernel destroys no socket of this kind (built without SOCK_DESTROY, or a protocol it does not destroy).");
                case EINVAL: throw new ArgumentException("The socket is in another network namespace than the caller's.", nameof(entry));
                default: throw Failure("The socket", errno, "destroyed");
            }
        }

        private static uint LookUp(string name, Func<IntPtr, uint> lookup)
        {
            // The native name would end at the first zero; no process's name
            // holds one, so no process has this name.
            if (name.IndexOf('\0') >= 0) return 0;
            IntPtr nativeName = StringMarshal.str2wchr(name);
            try
            {
                uint answer = lookup(nativeName);
                if (answer == 0)
                {
                    int errno = Marshal.GetLastWin32Error();
                    if (errno != 0) throw Failure("The process table", errno);
                }
                return answer;
            }
            finally
            {
                Marshal.FreeHGlobal(nativeName);
            }
        }

        /// <summary>
        /// Takes a snapshot with <paramref name="take"/>, copies its rows and
        /// gives it back with <paramref name="free"/>, also when a copy fails.
        /// </summary>
        internal static TRow[] Snapshot<TRecord, TRow>(Func<IntPtr> take, Action<IntPtr> free)
            where TRecord : unmanaged, INativeRecord<TRow>
        {
            IntPtr rows = take();
            if (rows == IntPtr.Zero) throw Failure("The connection table", Marshal.GetLastWin32Error());
            try
            {
                return CopyRows<TRecord, TRow>((TRecord*)rows);
            }
            finally
            {
                free(rows);
            }
        }

        private const int ENOMEM = 12;

        /// <summary>
        /// What a call throws when the library failed: a table it could not
        /// read whole is never passed off as an empty one, nor a failed
        /// lookup as "not found". Only ENOMEM means memory ran out; a failure
        /// that left errno 0 says nothing, and is reported as unknown.
        /// </summary>
        internal static Exception Failure(string what, int errno, string failedTo = "read")
        {
            if (errno == ENOMEM) return new OutOfMemoryException($"{what} could not be {failedTo}: out of memory.");
            return new IOException($"{what} could not be {failedTo}: {ErrnoText.Describe(errno)}.");
        }

        /// <summary>One managed row per record; the count comes from the first record.</summary>
        private static TRow[] CopyRows<TRecord, TRow>(TRecord* records)
            where TRecord : unmanaged, INativeRecord<TRow>
        {
            uint count = records->Count;
            var rows = new TRow[count];
            for (uint i = 0; i < count; i++) rows[i] = records[i].ToRow();
            return rows;
        }
    }
}
