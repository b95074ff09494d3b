// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    // The connection stream's native calls: open, wait, read (each batch
    // copied by ConnectionBatchReader and given back before the call
    // returns). The stream itself is a ConnectionStreamHandle.
    internal static unsafe partial class NativeBridge
    {
        private const int EINTR = 4;
        private const int ENOSYS = 38;

        private const string Stream = "The connection stream";

        /// <summary>A stream with these options, opened; throws what a failed open means.</summary>
        internal static ConnectionStreamHandle OpenStream(uint flags, int trackedSockets, long bufferBytes)
        {
            var options = new NativeStreamOptions
            {
                Size = (UIntPtr)sizeof(NativeStreamOptions),
                Flags = flags,
                TrackedSockets = (uint)trackedSockets,
                BufferBytes = (UIntPtr)(ulong)bufferBytes,
            };
            ConnectionStreamHandle stream = NativeMethods.OpenStream(&options);
            if (!stream.IsInvalid) return stream;
            int errno = Marshal.GetLastWin32Error();
            stream.Dispose();
            throw OpenFailure(errno);
        }

        internal static int StreamDescriptor(ConnectionStreamHandle stream)
        {
            int descriptor = NativeMethods.StreamDescriptor(stream);
            if (descriptor < 0) throw Failure(Stream, Marshal.GetLastWin32Error());
            return descriptor;
        }

        /// <summary>
        /// Waits up to <paramref name="timeoutMilliseconds"/> (0: not at all)
        /// for the stream's <paramref name="descriptor"/> to be readable.
        /// False when it is not, or a signal cut the wait short. It takes the
        /// descriptor by its number, not the stream: a waiter must not keep
        /// a dropped stream from its finalizer (ConnectionWatchEnumerator).
        /// </summary>
        internal static bool WaitReadable(int descriptor, int timeoutMilliseconds)
        {
            var waiting = new NativePollFd { Fd = descriptor, Events = NativePollFd.POLLIN };
            int ready = NativeMethods.Poll(&waiting, (UIntPtr)1, timeoutMilliseconds);
            if (ready < 0)
            {
                int errno = Marshal.GetLastWin32Error();
                if (errno == EINTR) return false;
                throw Failure(Stream, errno, "waited for");
            }
            if ((waiting.ReturnedEvents & NativePollFd.POLLNVAL) != 0)
                throw new IOException($"{Stream}'s descriptor {descriptor} is not open.");
            return ready > 0;
        }

        /// <summary>
        /// Up to <paramref name="mostRecords"/> records waiting in the stream,
        /// oldest first (none when none wait); <paramref name="lostBefore"/>
        /// records lost earlier are added to the first one's
        /// <see cref="ConnectionRecord.LostBefore"/>, with the batch's own.
        /// <paramref name="lostUnassigned"/>: those losses when there is no
        /// record to carry them.
        /// </summary>
        internal static ConnectionRecord[] ReadConnections(ConnectionStreamHandle stream, int mostRecords, long lostBefore,
            out long lostUnassigned)
        {
            NativeConnections* batch = NativeMethods.ReadStream(stream, (UIntPtr)mostRecords);
            if (batch == null) throw Failure(Stream, Marshal.GetLastWin32Error());
            try
            {
                return ConnectionBatchReader.Read(batch, lostBefore, out lostUnassigned);
            }
            finally
            {
                NativeMethods.FreeConnections(batch);
            }
        }

        // Watching takes privilege, and a kernel and library that can run
        // the stream's programs: neither is an I/O failure.
        internal static Exception OpenFailure(int errno)
        {
            string failed = $"{Stream} could not be opened: {ErrnoText.Describe(errno)}.";
            switch (errno)
            {
                case EPERM:
                    return new UnauthorizedAccessException(
                        $"{failed} Watching connections takes CAP_BPF with CAP_PERFMON, or CAP_SYS_ADMIN.");
                case EOPNOTSUPP:
                    return new PlatformNotSupportedException(
                        $"{failed} libbpf.so.1 is missing, the kernel has no BTF, or libsockscope_x64 was built without BPF.");
                case ENOSYS:
                    return new PlatformNotSupportedException(
                        $"{failed} The kernel has no bpf() system call, or a seccomp profile refuses it.");
                default:
                    return Failure(Stream, errno, "opened");
            }
        }
    }
}
