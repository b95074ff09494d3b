// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>
    /// The native half's flat functions (libsockscopeNET_x64.so, declared in
    /// native/sockscope_net_native.h) and the library's C interface
    /// (sockscope/sockets.h; the connection stream's in
    /// Connections/NativeMethods.Connections.cs), declared and nothing more:
    /// every P/Invoke lives here, and only NativeBridge calls them (and
    /// ConnectionStreamHandle, which closes a stream). The native half's
    /// snapshots travel as IntPtr so that one generic routine can read either
    /// record kind.
    /// </summary>
    internal static unsafe partial class NativeMethods
    {
        private const string Library = "sockscopeNET_x64";

        // The library itself. .NET and Mono look for this name as
        // libsockscope_x64.so, which the package ships beside
        // libsockscope_x64.so.1: it holds no code and leads to the latter
        // (native/sockscope_x64_by_name.cpp).
        private const string CInterface = "sockscope_x64";

        /// <summary>sockscope_snapshot_take: a snapshot, or null with errno set.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_snapshot_take", SetLastError = true)]
        internal static extern NativeSnapshot* TakeSnapshot(NativeSelection* selection);

        /// <summary>sockscope_snapshot_free: gives a snapshot back.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_snapshot_free")]
        internal static extern void FreeSnapshot(NativeSnapshot* snapshot);

        /// <summary>sockscope_socket_destroy: 0, or -1 with errno set.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_socket_destroy", SetLastError = true)]
        internal static extern int DestroySocket(NativeSocket* socket);

        /// <summary>A process id, or 0; errno is non-zero when the lookup failed.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getProcessId", SetLastError = true)]
        internal static extern uint GetProcessId(IntPtr name);

        /// <summary>A port, or 0; errno is non-zero when the lookup failed.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getnetPort_gx2", SetLastError = true)]
        internal static extern uint GetNetPort(IntPtr name);

        /// <summary>A statTCPROW array, or null with errno set when the table could not be read.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_tcp", SetLastError = true)]
        internal static extern IntPtr GetTcpTable();

        /// <summary>A statUDPROW array, or null with errno set when the table could not be read.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_udp", SetLastError = true)]
        internal static extern IntPtr GetUdpTable();

        /// <summary>The IPv6 TCP table as statTCPROW records, or null with errno set.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_tcp6", SetLastError = true)]
        internal static extern IntPtr GetTcp6Table();

        /// <summary>The IPv6 UDP table as statUDPROW records, or null with errno set.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_udp6", SetLastError = true)]
        internal static extern IntPtr GetUdp6Table();

        [DllImport(Library, EntryPoint = "sockscopeNET_free_tcp")]
        internal static extern void FreeTcpTable(IntPtr rows);

        [DllImport(Library, EntryPoint = "sockscopeNET_free_udp")]
        internal static extern void FreeUdpTable(IntPtr rows);
    }
}
