// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>A native record that becomes one managed row of type <typeparamref name="TRow"/>.</summary>
    internal interface INativeRecord<TRow>
    {
        /// <summary>The row count of the whole snapshot, which every record carries.</summary>
        uint Count { get; }

        /// <summary>A new managed row with copies of the record's texts.</summary>
        TRow ToRow();
    }

    /// <summary>Mirror of the native statTCPROW record, field for field (56 bytes, 4 bytes of tail padding).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeTcpRow : INativeRecord<statTCPROW_NET>
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

        public uint Count => size;

        public statTCPROW_NET ToRow() => new statTCPROW_NET
        {
            LocalAddr = StringMarshal.chr2str(LocalAddr),
            RemoteAddr = StringMarshal.chr2str(RemoteAddr),
            Statestr = StringMarshal.conchr2str(Statestr),
            ProcessName = StringMarshal.wchr2str(ProcessName),
            LocalPort = unchecked((ushort)LocalPort),
            RemotePort = unchecked((ushort)RemotePort),
            Statenum = unchecked((ushort)Statenum),
            PID = unchecked((ushort)PID),
            size = unchecked((ushort)size),
            ProcessId = PID,
        };
    }

    /// <summary>Mirror of the native statUDPROW record (32 bytes, 4 bytes of tail padding).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeUdpRow : INativeRecord<statUDPROW_NET>
    {
        internal IntPtr LocalAddr;
        internal IntPtr ProcessName;
        internal uint LocalPort;
        internal uint PID;
        internal uint size;
        private uint padding;

        public uint Count => size;

        // A UDP record has no remote end and no state: those fields of the
        // row stay null and 0.
        public statUDPROW_NET ToRow() => new statUDPROW_NET
        {
            LocalAddr = StringMarshal.chr2str(LocalAddr),
            ProcessName = StringMarshal.wchr2str(ProcessName),
            LocalPort = unchecked((ushort)LocalPort),
            PID = unchecked((ushort)PID),
            size = unchecked((ushort)size),
            ProcessId = PID,
        };
    }
}
