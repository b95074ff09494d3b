// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

namespace sockscopeNET
{
    /// <summary>
    /// The one place that holds native memory: it creates and deletes the
    /// library object, passes names across, and turns native snapshots into
    /// managed rows, giving every block back before it returns. The public
    /// class keeps the pointers in its fields and hands them in here.
    /// </summary>
    internal static unsafe class NativeBridge
    {
        /// <summary>A new library object; OutOfMemoryException when none can be made.</summary>
        internal static IntPtr Create()
        {
            IntPtr instance = NativeMethods.Create();
            if (instance == IntPtr.Zero) throw new OutOfMemoryException();
            return instance;
        }

        /// <summary>Deletes the object in <paramref name="instance"/> and clears it; exactly once, whoever calls first.</summary>
        internal static void Delete(ref IntPtr instance)
        {
            IntPtr taken = Interlocked.Exchange(ref instance, IntPtr.Zero);
            if (taken != IntPtr.Zero) NativeMethods.Delete(taken);
        }

        internal static uint ProcessId(IntPtr instance, string name) => LookUp(instance, name, NativeMethods.GetProcessId);

        internal static uint LoopbackPort(IntPtr instance, string name) => LookUp(instance, name, NativeMethods.GetNetPort);

        // Each table is one line: its two native calls and its record type.
        // `pending` holds the native array while its rows are copied.

        internal static statTCPROW_NET[] TcpTable(IntPtr instance, ref IntPtr pending) =>
            Snapshot<NativeTcpRow, statTCPROW_NET>(instance, ref pending, NativeMethods.GetTcpTable, NativeMethods.FreeTcpTable);

        internal static statUDPROW_NET[] UdpTable(IntPtr instance, ref IntPtr pending) =>
            Snapshot<NativeUdpRow, statUDPROW_NET>(instance, ref pending, NativeMethods.GetUdpTable, NativeMethods.FreeUdpTable);

        internal static statTCPROW_NET[] Tcp6Table(IntPtr instance, ref IntPtr pending) =>
            Snapshot<NativeTcpRow, statTCPROW_NET>(instance, ref pending, NativeMethods.GetTcp6Table, NativeMethods.FreeTcpTable);

        internal static statUDPROW_NET[] Udp6Table(IntPtr instance, ref IntPtr pending) =>
            Snapshot<NativeUdpRow, statUDPROW_NET>(instance, ref pending, NativeMethods.GetUdp6Table, NativeMethods.FreeUdpTable);

        private static uint LookUp(IntPtr instance, string name, Func<IntPtr, IntPtr, uint> lookup)
        {
            IntPtr nativeName = StringMarshal.str2wchr(name);
            try
            {
                uint answer = lookup(instance, nativeName);
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

        internal static TRow[] Snapshot<TRecord, TRow>(
            IntPtr instance, ref IntPtr pending, Func<IntPtr, IntPtr> take, Action<IntPtr, IntPtr> free)
            where TRecord : unmanaged, INativeRecord<TRow>
        {
            pending = take(instance);
            if (pending == IntPtr.Zero) throw Failure("The connection table", Marshal.GetLastWin32Error());
            try
            {
                return CopyRows<TRecord, TRow>((TRecord*)pending);
            }
            finally
            {
                free(instance, pending);
                pending = IntPtr.Zero;
            }
        }

        private const int ENOMEM = 12;

        /// <summary>
        /// What a call throws when the library failed: a table it could not
        /// read whole is never passed off as an empty one, nor a failed
        /// lookup as "not found".
        /// </summary>
        internal static Exception Failure(string what, int errno) =>
            errno == ENOMEM || errno == 0
                ? new OutOfMemoryException($"{what} could not be read: out of memory.")
                : (Exception)new IOException($"{what} could not be read (errno {errno}).");

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
