// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    /// <summary>
    /// An open connection stream (struct sockscope_stream *): closed, and its
    /// kernel programs detached, when disposed, or by the finalizer when an
    /// enumeration is dropped without being disposed.
    /// </summary>
    internal sealed class ConnectionStreamHandle : SafeHandle
    {
        public ConnectionStreamHandle() : base(IntPtr.Zero, ownsHandle: true)
        {
        }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override bool ReleaseHandle()
        {
            NativeMethods.CloseStream(handle);
            return true;
        }
    }
}
