// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Threading;
using System.Threading.Tasks;

namespace sockscopeNET
{
    /// <summary>
    /// One watch: a stream of its own, opened when the enumeration starts and
    /// closed when it ends, however it ends.
    /// </summary>
    internal static class ConnectionWatch
    {
        private const int MostRecordsARead = 4096;

        // A wait blocks a thread-pool thread for at most this long at a time,
        // and a cancellation is seen within it.
        private const int WaitSliceMilliseconds = 100;

        // Once records wait, more are let gather before the read: one read
        // of many costs far less than one per record.
        private static readonly TimeSpan GatherTime = TimeSpan.FromMilliseconds(5);

        internal static async IAsyncEnumerable<ConnectionRecord> Records(uint flags, int trackedSockets, long bufferBytes,
            Action<long>? recordsLost, [EnumeratorCancellation] CancellationToken cancellationToken)
        {
            cancellationToken.ThrowIfCancellationRequested();
            // Opened before the first await, so before the first MoveNextAsync
            // returns: connections made after that are seen.
            using ConnectionStreamHandle stream = NativeBridge.OpenStream(flags, trackedSockets, bufferBytes);
            int descriptor = NativeBridge.StreamDescriptor(stream);
            long carried = 0;
            for (;;)
            {
                if (!NativeBridge.WaitReadable(stream, descriptor, 0))
                    await WhenReadable(stream, descriptor, cancellationToken).ConfigureAwait(false);
                await Task.Delay(GatherTime, cancellationToken).ConfigureAwait(false);
                ConnectionRecord[] batch;
                do
                {
                    cancellationToken.ThrowIfCancellationRequested();
                    batch = NativeBridge.ReadConnections(stream, MostRecordsARead, carried, out long unassigned);
                    carried = 0;
                    if (unassigned > 0)
                    {
                        if (recordsLost != null) recordsLost(unassigned);
                        else carried = unassigned;
                    }
                    foreach (ConnectionRecord record in batch)
                    {
                        cancellationToken.ThrowIfCancellationRequested();
                        yield return record;
                    }
                } while (batch.Length == MostRecordsARead);
            }
        }

        // Polls on the thread pool in slices; each slice ends before the next
        // check of the token, so no poll is left running when the stream is
        // closed.
        private static async Task WhenReadable(ConnectionStreamHandle stream, int descriptor, CancellationToken cancellationToken)
        {
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                if (await Task.Run(() => NativeBridge.WaitReadable(stream, descriptor, WaitSliceMilliseconds)).ConfigureAwait(false))
                    return;
            }
        }
    }
}
