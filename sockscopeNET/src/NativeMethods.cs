// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>
    /// The native half's flat functions (libsockscopeNET_x64.so, declared in
    /// native/sockscope_net_native.h), declared and nothing more: every
    /// P/Invoke lives here, and only NativeBridge calls them. Snapshots travel
    /// as IntPtr so that one generic routine can read either record kind.
    /// </summary>
    internal static class NativeMethods
    {
        private const string Library = "sockscopeNET_x64";

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
