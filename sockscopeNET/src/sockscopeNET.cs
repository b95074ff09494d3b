// SPDX-License-Identifier: MIT
using System;

namespace sockscopeNET
{
    /// <summary>
    /// The machine's IPv4 TCP and UDP tables with the owning process of every
    /// endpoint, and lookups by process image name. Every call reads the system
    /// afresh. Use one object from one thread at a time; Dispose it when done.
    /// </summary>
    public class sockscopeNET : IDisposable
    {
        // The native library object; IntPtr.Zero once released.
        private IntPtr stat_ins;
        // The native array of a snapshot call, while that call copies it.
        private IntPtr stat_tcp;
        private IntPtr stat_udp;
        // The arrays that the latest snapshot calls returned, dropped on release.
        private statTCPROW_NET[] stat_row_tcp;
        private statUDPROW_NET[] stat_row_udp;

        // Every method that hands stat_ins to native code keeps this wrapper
        // reachable until the native call has returned, so that the finalizer
        // cannot delete the object under the library: the lookups with
        // GC.KeepAlive, the snapshots by storing their result in this object
        // after the call (and passing a reference to one of its fields into it).

        /// <summary>Creates a wrapper that owns a new native library object.</summary>
        /// <exception cref="OutOfMemoryException">No native object could be made.</exception>
        public sockscopeNET()
        {
            stat_ins = NativeBridge.Create();
        }

        /// <summary>
        /// Id of the first running process (lowest id) whose image name is exactly
        /// <paramref name="ProcessName"/>; 0 when none.
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the process table (the message gives errno).</exception>
        public ulong getProcessId(string ProcessName)
        {
            if (ProcessName == null) throw new ArgumentNullException(nameof(ProcessName));
            ulong id = NativeBridge.ProcessId(Instance(), ProcessName);
            GC.KeepAlive(this);
            return id;
        }

        /// <summary>
        /// Local port of the TCP socket that the named process holds on 127.0.0.1
        /// (the last in table order); 0 when none.
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the process table (the message gives errno).</exception>
        public ulong getnetPort_gx2(string ProcessName)
        {
            if (ProcessName == null) throw new ArgumentNullException(nameof(ProcessName));
            ulong port = NativeBridge.LoopbackPort(Instance(), ProcessName);
            GC.KeepAlive(this);
            return port;
        }

        /// <summary>A snapshot of the IPv4 TCP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno).</exception>
        public statTCPROW_NET[] getstat_tcp()
        {
            stat_row_tcp = NativeBridge.TcpTable(Instance(), ref stat_tcp);
            return stat_row_tcp;
        }

        /// <summary>A snapshot of the IPv4 UDP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno).</exception>
        public statUDPROW_NET[] getstat_udp()
        {
            stat_row_udp = NativeBridge.UdpTable(Instance(), ref stat_udp);
            return stat_row_udp;
        }

        /// <summary>
        /// A snapshot of the IPv6 TCP table in the same rows: addresses in the
        /// compressed form ("::1"), an IPv4 peer of a dual-stack socket as
        /// "::ffff:127.0.0.1". Never null.
        /// </summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno).</exception>
        public statTCPROW_NET[] getstat_tcp6()
        {
            stat_row_tcp = NativeBridge.Tcp6Table(Instance(), ref stat_tcp);
            return stat_row_tcp;
        }

        /// <summary>A snapshot of the IPv6 UDP table in the same rows. Never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno).</exception>
        public statUDPROW_NET[] getstat_udp6()
        {
            stat_row_udp = NativeBridge.Udp6Table(Instance(), ref stat_udp);
            return stat_row_udp;
        }

        /// <summary>Releases the native object. Arrays obtained earlier stay valid. A second call does nothing.</summary>
        public void Dispose()
        {
            Dispose(true);
            GC.SuppressFinalize(this);
        }

        /// <summary>
        /// Drops the latest arrays and deletes the native object, exactly once
        /// whichever of Dispose and the finalizer comes first; called with true
        /// from Dispose, with false from the finalizer.
        /// </summary>
        protected virtual void Dispose(bool disposing)
        {
            stat_row_tcp = null;
            stat_row_udp = null;
            NativeBridge.Delete(ref stat_ins);
        }

        /// <summary>Releases the native object when the wrapper was not disposed.</summary>
        ~sockscopeNET()
        {
            Dispose(false);
        }

        private IntPtr Instance()
        {
            IntPtr instance = stat_ins;
            if (instance == IntPtr.Zero) throw new ObjectDisposedException(nameof(sockscopeNET));
            return instance;
        }
    }
}
