using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>The native half's flat interface (libsockscopeNET_x64.so). Every P/Invoke lives here.</summary>
    internal static unsafe class NativeMethods
    {
        private const string Library = "sockscopeNET_x64";

        [DllImport(Library, EntryPoint = "sockscopeNET_create")]
        internal static extern IntPtr Create();

        [DllImport(Library, EntryPoint = "sockscopeNET_delete")]
        internal static extern void Delete(IntPtr instance);

        [DllImport(Library, EntryPoint = "sockscopeNET_getProcessId")]
        internal static extern uint GetProcessId(IntPtr instance, IntPtr name);

        [DllImport(Library, EntryPoint = "sockscopeNET_getnetPort_gx2")]
        internal static extern uint GetNetPort(IntPtr instance, IntPtr name);

        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_tcp")]
        internal static extern NativeTcpRow* GetTcpTable(IntPtr instance);

        [DllImport(Library, EntryPoint = "sockscopeNET_getstat_udp")]
        internal static extern NativeUdpRow* GetUdpTable(IntPtr instance);

        [DllImport(Library, EntryPoint = "sockscopeNET_free_tcp")]
        internal static extern void FreeTcpTable(IntPtr instance, NativeTcpRow* rows);

        [DllImport(Library, EntryPoint = "sockscopeNET_free_udp")]
        internal static extern void FreeUdpTable(IntPtr instance, NativeUdpRow* rows);

        [DllImport(Library, EntryPoint = "sockscopeNET_tcp_record_size")]
        internal static extern uint TcpRecordSize();

        [DllImport(Library, EntryPoint = "sockscopeNET_udp_record_size")]
        internal static extern uint UdpRecordSize();
    }

    /// <summary>Mirror of the native statTCPROW record, field for field (56 bytes, 4 bytes of tail padding).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeTcpRow
    {
        internal IntPtr LocalAddr;
        internal IntPtr RemoteAddr;
        internal IntPtr ProcessName;
        internal IntPtr Statestr;
        internal uint LocalPort;
        internal uint RemotePort;
        internal uint PID;
        internal uint Statenum;
        internal uint size;
        private uint padding;
    }

    /// <summary>Mirror of the native statUDPROW record (32 bytes, 4 bytes of tail padding).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeUdpRow
    {
        internal IntPtr LocalAddr;
        internal IntPtr ProcessName;
        internal uint LocalPort;
        internal uint PID;
        internal uint size;
        private uint padding;
    }
}
