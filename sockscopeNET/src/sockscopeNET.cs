using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace sockscopeNET
{
    /// <summary>
    /// The machine's IPv4 TCP and UDP tables with the owning process of every
    /// endpoint, and lookups by process image name. Every call reads the system
    /// afresh. Use one object from one thread at a time; Dispose it when done.
    /// </summary>
    public unsafe class sockscopeNET : IDisposable
    {
        private IntPtr stat_ins;
        private IntPtr stat_tcp;
        private IntPtr stat_udp;
        private statTCPROW_NET[] stat_row_tcp;
        private statUDPROW_NET[] stat_row_udp;

        /// <summary>Creates a wrapper that owns a new native library object.</summary>
        public sockscopeNET()
        {
            stat_ins = NativeMethods.Create();
            if (stat_ins == IntPtr.Zero) throw new OutOfMemoryException();
        }

        /// <summary>
        /// Id of the first running process (lowest id) whose image name is exactly
        /// <paramref name="ProcessName"/>; 0 when none.
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        public ulong getProcessId(string ProcessName) =>
            LookUpByName(ProcessName, NativeMethods.GetProcessId);

        /// <summary>
        /// Local port of the TCP socket that the named process holds on 127.0.0.1
        /// (the last in table order); 0 when none.
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        public ulong getnetPort_gx2(string ProcessName) =>
            LookUpByName(ProcessName, NativeMethods.GetNetPort);

        /// <summary>A snapshot of the IPv4 TCP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        public statTCPROW_NET[] getstat_tcp()
        {
            IntPtr instance = Instance();
            NativeTcpRow* rows = NativeMethods.GetTcpTable(instance);
            stat_tcp = (IntPtr)rows;
            try
            {
                uint count = rows == null ? 0 : rows[0].size;
                stat_row_tcp = new statTCPROW_NET[count];
                for (uint i = 0; i < count; i++)
                {
                    NativeTcpRow* native = rows + i;
                    var row = new statTCPROW_NET();
                    stat_row_tcp[i] = row;
                    row.LocalAddr = StringMarshal.chr2str(native->LocalAddr);
                    row.RemoteAddr = StringMarshal.chr2str(native->RemoteAddr);
                    row.Statestr = StringMarshal.conchr2str(native->Statestr);
                    row.ProcessName = StringMarshal.wchr2str(native->ProcessName);
                    row.LocalPort = (ushort)native->LocalPort;
                    row.RemotePort = (ushort)native->RemotePort;
                    row.Statenum = (ushort)native->Statenum;
                    row.PID = (ushort)native->PID;
                    row.size = (ushort)native->size;
                }
                return stat_row_tcp;
            }
            finally
            {
                NativeMethods.FreeTcpTable(instance, rows);
                stat_tcp = IntPtr.Zero;
                GC.KeepAlive(this);
            }
        }

        /// <summary>A snapshot of the IPv4 UDP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        public statUDPROW_NET[] getstat_udp()
        {
            IntPtr instance = Instance();
            NativeUdpRow* rows = NativeMethods.GetUdpTable(instance);
            stat_udp = (IntPtr)rows;
            try
            {
                uint count = rows == null ? 0 : rows[0].size;
                stat_row_udp = new statUDPROW_NET[count];
                for (uint i = 0; i < count; i++)
                {
                    NativeUdpRow* native = rows + i;
                    var row = new statUDPROW_NET();
                    stat_row_udp[i] = row;
                    row.LocalAddr = StringMarshal.chr2str(native->LocalAddr);
                    row.ProcessName = StringMarshal.wchr2str(native->ProcessName);
                    row.LocalPort = (ushort)native->LocalPort;
                    row.PID = (ushort)native->PID;
                    row.size = (ushort)native->size;
                }
                return stat_row_udp;
            }
            finally
            {
                NativeMethods.FreeUdpTable(instance, rows);
                stat_udp = IntPtr.Zero;
                GC.KeepAlive(this);
            }
        }

        /// <summary>Releases the native object. Arrays obtained earlier stay valid. A second call does nothing.</summary>
        public void Dispose()
        {
            Dispose(true);
            GC.SuppressFinalize(this);
            GC.KeepAlive(this);
        }

        /// <summary>Releases the native object; called with true from Dispose, with false from the finalizer.</summary>
        protected virtual void Dispose(bool disposing)
        {
            ReleaseNative();
        }

        /// <summary>Releases the native object when the wrapper was not disposed.</summary>
        ~sockscopeNET()
        {
            Dispose(false);
        }

        // The release body: drops the latest arrays and deletes the native
        // object exactly once, whichever of Dispose and the finalizer comes.
        private void ReleaseNative()
        {
            stat_row_tcp = null;
            stat_row_udp = null;
            IntPtr instance = Interlocked.Exchange(ref stat_ins, IntPtr.Zero);
            if (instance != IntPtr.Zero) NativeMethods.Delete(instance);
            GC.KeepAlive(this);
        }

        private IntPtr Instance()
        {
            IntPtr instance = stat_ins;
            if (instance == IntPtr.Zero) throw new ObjectDisposedException(nameof(sockscopeNET));
            return instance;
        }

        private ulong LookUpByName(string name, Func<IntPtr, IntPtr, uint> lookup)
        {
            if (name == null) throw new ArgumentNullException("ProcessName");
            IntPtr instance = Instance();
            IntPtr nativeName = StringMarshal.str2wchr(name);
            try
            {
                return lookup(instance, nativeName);
            }
            finally
            {
                Marshal.FreeHGlobal(nativeName);
                GC.KeepAlive(this);
            }
        }
    }
}
