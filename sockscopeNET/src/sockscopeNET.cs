// SPDX-License-Identifier: MIT
using System;

namespace sockscopeNET
{
    /// <summary>
    /// The machine's TCP and UDP tables, IPv4 and IPv6, with the owning process
    /// of every endpoint, and lookups by process image name. Every call reads
    /// the system afresh. Use one object from one thread at a time; Dispose it
    /// when done.
    /// </summary>
    public class sockscopeNET : IDisposable
    {
        // The arrays that the latest snapshot calls returned, dropped on release.
        private statTCPROW_NET[] stat_row_tcp;
        private statUDPROW_NET[] stat_row_udp;
        private bool disposed;

        // Nothing native lives in a wrapper: every call takes what it needs
        // from the library and gives it back before it returns.

        /// <summary>
        /// Id of the first running process (lowest id) whose image name is exactly
        /// <paramref name="ProcessName"/>; 0 when none (as for a name with a
        /// zero character inside, which no process has).
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the process table (the message gives errno, or says it is unknown).</exception>
        public ulong getProcessId(string ProcessName)
        {
            if (ProcessName == null) throw new ArgumentNullException(nameof(ProcessName));
            ThrowIfDisposed();
            return NativeBridge.ProcessId(ProcessName);
        }

        /// <summary>
        /// Local port of the TCP socket that the named process holds on 127.0.0.1
        /// (the last in table order); 0 when none (a name with a zero character
        /// inside names none).
        /// </summary>
        /// <exception cref="ArgumentNullException">ProcessName is null.</exception>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the process table (the message gives errno, or says it is unknown).</exception>
        public ulong getnetPort_gx2(string ProcessName)
        {
            if (ProcessName == null) throw new ArgumentNullException(nameof(ProcessName));
            ThrowIfDisposed();
            return NativeBridge.LoopbackPort(ProcessName);
        }

        /// <summary>A snapshot of the IPv4 TCP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno, or says it is unknown).</exception>
        public statTCPROW_NET[] getstat_tcp()
        {
            ThrowIfDisposed();
            stat_row_tcp = NativeBridge.TcpTable();
            return stat_row_tcp;
        }

        /// <summary>A snapshot of the IPv4 UDP table: one element per row, sorted; never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno, or says it is unknown).</exception>
        public statUDPROW_NET[] getstat_udp()
        {
            ThrowIfDisposed();
            stat_row_udp = NativeBridge.UdpTable();
            return stat_row_udp;
        }

        /// <summary>
        /// A snapshot of the IPv6 TCP table in the same rows: addresses in the
        /// compressed form ("::1"), an IPv4 peer of a dual-stack socket as
        /// "::ffff:127.0.0.1". Never null.
        /// </summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno, or says it is unknown).</exception>
        public statTCPROW_NET[] getstat_tcp6()
        {
            ThrowIfDisposed();
            stat_row_tcp = NativeBridge.Tcp6Table();
            return stat_row_tcp;
        }

        /// <summary>A snapshot of the IPv6 UDP table in the same rows. Never null.</summary>
        /// <exception cref="ObjectDisposedException">The wrapper was disposed.</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The library could not read the table (the message gives errno, or says it is unknown).</exception>
        public statUDPROW_NET[] getstat_udp6()
        {
            ThrowIfDisposed();
            stat_row_udp = NativeBridge.Udp6Table();
            return stat_row_udp;
        }

        /// <summary>Ends the wrapper's use: later calls throw ObjectDisposedException. Arrays obtained earlier stay valid. A second call does nothing.</summary>
        public void Dispose()
        {
            Dispose(true);
            GC.SuppressFinalize(this);
        }

        /// <summary>
        /// Drops the latest arrays and marks the wrapper disposed; called with
        /// true from Dispose, with false from the finalizer.
        /// </summary>
        protected virtual void Dispose(bool disposing)
        {
            stat_row_tcp = null;
            stat_row_udp = null;
            disposed = true;
        }

        /// <summary>
        /// Runs Dispose(false) when the wrapper was not disposed. The wrapper
        /// itself has nothing to release; a derived class's Dispose(bool) may.
        /// </summary>
        ~sockscopeNET()
        {
            Dispose(false);
        }

        private void ThrowIfDisposed()
        {
            if (disposed) throw new ObjectDisposedException(nameof(sockscopeNET));
        }
    }
}
