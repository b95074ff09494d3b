// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    // The connection stream's functions (sockscope/connections.h) and the
    // one system call its wait needs.
    internal static unsafe partial class NativeMethods
    {
        /// <summary>sockscope_stream_open: an open stream, or an invalid handle with errno set.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_stream_open", SetLastError = true)]
        internal static extern ConnectionStreamHandle OpenStream(NativeStreamOptions* options);

        /// <summary>sockscope_stream_fd: the descriptor to wait on, the stream's own.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_stream_fd", SetLastError = true)]
        internal static extern int StreamDescriptor(ConnectionStreamHandle stream);

        /// <summary>sockscope_stream_read: a batch (count 0 when none wait), or null with errno set.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_stream_read", SetLastError = true)]
        internal static extern NativeConnections* ReadStream(ConnectionStreamHandle stream, UIntPtr maxCount);

        /// <summary>sockscope_connections_free: gives a batch back.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_connections_free")]
        internal static extern void FreeConnections(NativeConnections* connections);

        /// <summary>sockscope_stream_close; only ConnectionStreamHandle calls it.</summary>
        [DllImport(CInterface, EntryPoint = "sockscope_stream_close")]
        internal static extern void CloseStream(IntPtr stream);

        [DllImport("libc", EntryPoint = "poll", SetLastError = true)]
        internal static extern int Poll(NativePollFd* descriptors, UIntPtr count, int timeoutMilliseconds);
    }
}
