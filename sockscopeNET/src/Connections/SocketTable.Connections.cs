// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Threading;

namespace sockscopeNET
{
    // The live stream of connections, in the net8.0 build only: the net472
    // and netstandard2.0 builds have no IAsyncEnumerable without another
    // package.
    public static partial class SocketTable
    {
        /// <summary>
        /// Every TCP connection of the machine as it closes, with the process
        /// that made it, also those that live a millisecond between two
        /// snapshots: one <see cref="ConnectionRecord"/> per end (so two for a
        /// connection between two local processes), IPv4 and IPv6, in every
        /// network namespace. Only in the .NET 8 build of this assembly (not
        /// in the .NET Framework and netstandard2.0 builds).
        /// </summary>
        /// <remarks>
        /// <para>
        /// Each enumeration opens a stream of its own when it starts, in its
        /// first MoveNextAsync, before that returns: every connection that
        /// changes state from then on is reported. Sockets already open then
        /// take their owner from a snapshot taken at that moment. The stream
        /// is closed when the enumeration ends: the loop is left, the
        /// enumerator disposed, <paramref name="cancellationToken"/> (or
        /// WithCancellation's) cancelled, or an exception thrown. DisposeAsync
        /// while a MoveNextAsync is pending ends that call with false and
        /// closes the stream before it returns. An enumerator dropped without
        /// being disposed is closed by the finalizer, later, also while a
        /// MoveNextAsync that nobody awaits is pending; an awaited one (a
        /// loop left running on its own) is in use, and waits for a record
        /// or the token.
        /// </para>
        /// <para>
        /// While no record waits, a thread-pool thread waits for the stream
        /// in slices of 100 ms, so a cancellation ends the enumeration within
        /// about that, with <see cref="OperationCanceledException"/>. Records
        /// are let gather for 5 ms once one waits, and read up to 4096 at a
        /// time. Records wait in a kernel buffer of a fixed size
        /// (<see cref="ConnectionWatchOptions.BufferBytes"/>); a consumer too
        /// slow for the machine's connections loses some, and
        /// <see cref="ConnectionRecord.LostBefore"/> says how many, never
        /// hidden.
        /// </para>
        /// <para>
        /// Watching takes CAP_BPF with CAP_PERFMON, or CAP_SYS_ADMIN; the
        /// exceptions below are thrown by the enumeration, not by this call.
        /// </para>
        /// </remarks>
        /// <param name="cancellationToken">Ends the enumeration.</param>
        /// <exception cref="UnauthorizedAccessException">The caller lacks the privilege to watch (EPERM).</exception>
        /// <exception cref="PlatformNotSupportedException">libbpf.so.1 is missing, the kernel has no BTF, or the library was built without BPF (ENOTSUP); or the kernel has no bpf(), or a seccomp profile refuses it (ENOSYS).</exception>
        /// <exception cref="OutOfMemoryException">The library ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The stream could not be opened or read for another reason (the message gives the errno in words and number).</exception>
        /// <exception cref="OperationCanceledException">The token was cancelled.</exception>
        /// <example>
        /// <code>
        /// await foreach (ConnectionRecord c in SocketTable.WatchConnections(cancellation.Token))
        ///     Console.WriteLine($"{c.ProcessId}/{c.ProcessName} {c.LocalEndPoint} -> {c.RemoteEndPoint} {c.End} {c.Lifetime}");
        /// </code>
        /// </example>
        public static IAsyncEnumerable<ConnectionRecord> WatchConnections(CancellationToken cancellationToken = default) =>
            new ConnectionWatch(0, 0, 0, null, cancellationToken);

        /// <summary>
        /// As <see cref="WatchConnections(CancellationToken)"/>, watching as
        /// <paramref name="options"/> say: with open records too, and with
        /// the kernel's memory for it, and a callback for losses.
        /// </summary>
        /// <param name="options">Read now; later changes to it change nothing.</param>
        /// <param name="cancellationToken">Ends the enumeration.</param>
        /// <exception cref="ArgumentNullException"><paramref name="options"/> is null (thrown by this call).</exception>
        /// <exception cref="ArgumentOutOfRangeException">An option is out of its range (thrown by this call).</exception>
        /// <exception cref="UnauthorizedAccessException">The caller lacks the privilege to watch (EPERM).</exception>
        /// <exception cref="PlatformNotSupportedException">libbpf.so.1 is missing, the kernel has no BTF, or the library was built without BPF (ENOTSUP); or the kernel has no bpf(), or a seccomp profile refuses it (ENOSYS).</exception>
        /// <exception cref="OutOfMemoryException">The library or the kernel ran out of memory.</exception>
        /// <exception cref="System.IO.IOException">The stream could not be opened or read for another reason (the message gives the errno in words and number).</exception>
        /// <exception cref="OperationCanceledException">The token was cancelled.</exception>
        public static IAsyncEnumerable<ConnectionRecord> WatchConnections(ConnectionWatchOptions options,
            CancellationToken cancellationToken = default)
        {
            if (options == null) throw new ArgumentNullException(nameof(options));
            if (options.TrackedSockets < 0 || options.TrackedSockets > ConnectionWatchOptions.MaxTrackedSockets)
                throw new ArgumentOutOfRangeException(nameof(options), options.TrackedSockets,
                    $"TrackedSockets is 0 (the default) to {ConnectionWatchOptions.MaxTrackedSockets}.");
            if (options.BufferBytes < 0 || options.BufferBytes > ConnectionWatchOptions.MaxBufferBytes)
                throw new ArgumentOutOfRangeException(nameof(options), options.BufferBytes,
                    $"BufferBytes is 0 (the default) to {ConnectionWatchOptions.MaxBufferBytes}.");
            uint flags = (options.IncludeOpens ? NativeStreamOptions.ReportOpens : 0) |
                         (options.ExactAccepts ? NativeStreamOptions.AcceptAtSyscallExit : 0);
            return new ConnectionWatch(flags, options.TrackedSockets, options.BufferBytes,
                options.RecordsLostCallback, cancellationToken);
        }
    }
}
