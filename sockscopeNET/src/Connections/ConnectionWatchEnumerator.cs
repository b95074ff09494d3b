// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Threading;
using System.Threading.Tasks;
using System.Threading.Tasks.Sources;

namespace sockscopeNET
{
    /// <summary>
    /// One enumeration of a watch. Its stream opens in the first
    /// MoveNextAsync and closes when the enumeration ends: the records end
    /// in an exception or a cancellation, it is disposed (also while a
    /// MoveNextAsync waits), or it is dropped, by the stream's finalizer.
    /// </summary>
    /// <remarks>
    /// While no record waits, a <see cref="Waiter"/> on the thread pool
    /// polls the stream in slices. It holds this enumerator only weakly
    /// until someone awaits the pending MoveNextAsync: a pending call nobody
    /// awaits keeps nothing alive, while an awaited one is an enumeration in
    /// use (a loop left running on its own is one), kept until it ends.
    /// </remarks>
    internal sealed class ConnectionWatchEnumerator : IAsyncEnumerator<ConnectionRecord>, IValueTaskSource<bool>
    {
        private const int MostRecordsARead = 4096;

        // A wait blocks a thread-pool thread for at most this long at a time;
        // a cancellation, a dispose or a drop is seen within it.
        private const int WaitSliceMilliseconds = 100;

        // Once records wait, more are let gather before the read: one read
        // of many costs far less than one per record.
        private const int GatherMilliseconds = 5;

        private readonly uint flags; // NativeStreamOptions' flags
        private readonly int trackedSockets;
        private readonly long bufferBytes;
        private readonly Action<long>? recordsLost;
        private readonly CancellationToken cancellationToken;
        private readonly CancellationTokenSource? linkedTokens;

        private ConnectionStreamHandle? stream;
        private int descriptor;
        private ConnectionRecord[] batch = Array.Empty<ConnectionRecord>();
        private int nextInBatch;
        private bool batchWasFull;
        private long carriedLost;
        private bool ended;
        private ManualResetValueTaskSourceCore<bool> pending = new() { RunContinuationsAsynchronously = true };
        private volatile Waiter? waiter;

        internal ConnectionWatchEnumerator(uint flags, int trackedSockets, long bufferBytes, Action<long>? recordsLost,
            CancellationToken cancellationToken, CancellationTokenSource? linkedTokens)
        {
            this.flags = flags;
            this.trackedSockets = trackedSockets;
            this.bufferBytes = bufferBytes;
            this.recordsLost = recordsLost;
            this.cancellationToken = cancellationToken;
            this.linkedTokens = linkedTokens;
        }

        public ConnectionRecord Current { get; private set; } = null!;

        public ValueTask<bool> MoveNextAsync()
        {
            if (waiter != null) throw new InvalidOperationException("MoveNextAsync was called before the previous call ended.");
            if (ended) return new ValueTask<bool>(false);
            try
            {
                cancellationToken.ThrowIfCancellationRequested();
                if (stream == null)
                {
                    // Opened before this returns: connections made after that are seen.
                    stream = NativeBridge.OpenStream(flags, trackedSockets, bufferBytes);
                    descriptor = NativeBridge.StreamDescriptor(stream);
                }
                if (TakeRecord() || (batchWasFull && Read())) return new ValueTask<bool>(true);
            }
            catch (Exception failure)
            {
                End();
                return ValueTask.FromException<bool>(failure);
            }
            pending.Reset();
            var waiting = new Waiter(this, descriptor, cancellationToken);
            waiter = waiting;
            ThreadPool.QueueUserWorkItem(w => w.Run(), waiting, preferLocal: false);
            return new ValueTask<bool>(this, pending.Version);
        }

        /// <summary>
        /// Ends the enumeration and closes its stream. A MoveNextAsync that
        /// waits meanwhile returns false, within the wait's slice, before
        /// this returns.
        /// </summary>
        public async ValueTask DisposeAsync()
        {
            Waiter? waiting = waiter;
            if (waiting != null)
            {
                waiting.Stop();
                await waiting.Finished.ConfigureAwait(false);
            }
            End();
        }

        // The next record of the batch read last, if any is left.
        private bool TakeRecord()
        {
            if (nextInBatch == batch.Length) return false;
            cancellationToken.ThrowIfCancellationRequested();
            Current = batch[nextInBatch++];
            return true;
        }

        // Reads what waits in the stream, and takes its first record if any.
        private bool Read()
        {
            cancellationToken.ThrowIfCancellationRequested();
            batch = NativeBridge.ReadConnections(stream!, MostRecordsARead, carriedLost, out long unassigned);
            nextInBatch = 0;
            batchWasFull = batch.Length == MostRecordsARead;
            carriedLost = 0;
            if (unassigned > 0)
            {
                if (recordsLost != null) recordsLost(unassigned);
                else carriedLost = unassigned;
            }
            return TakeRecord();
        }

        private void End()
        {
            ended = true;
            batch = Array.Empty<ConnectionRecord>();
            stream?.Dispose();
            linkedTokens?.Dispose();
        }

        // The waiter's answers to the pending MoveNextAsync.

        private void Complete(bool more)
        {
            if (!more) End();
            waiter = null;
            pending.SetResult(more);
        }

        private void Fail(Exception failure)
        {
            End();
            waiter = null;
            pending.SetException(failure);
        }

        bool IValueTaskSource<bool>.GetResult(short token) => pending.GetResult(token);

        ValueTaskSourceStatus IValueTaskSource<bool>.GetStatus(short token) => pending.GetStatus(token);

        void IValueTaskSource<bool>.OnCompleted(Action<object?> continuation, object? state, short token,
            ValueTaskSourceOnCompletedFlags flags)
        {
            waiter?.Hold(this); // awaited: in use
            pending.OnCompleted(continuation, state, token, flags);
        }

        /// <summary>
        /// Waits on the thread pool for records, then reads them and answers
        /// the pending MoveNextAsync. Between its steps it holds the
        /// enumerator weakly (strongly once the call is awaited) and polls
        /// the stream's descriptor by its number: a dropped enumerator is
        /// collected, its stream closed by the finalizer, and this ends at
        /// its next step.
        /// </summary>
        private sealed class Waiter
        {
            private readonly WeakReference<ConnectionWatchEnumerator> watch;
            private readonly int descriptor;
            private readonly CancellationToken cancellationToken;
            private readonly TaskCompletionSource<bool> finished =
                new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
            private ConnectionWatchEnumerator? held;
            private volatile bool stopped;

            internal Waiter(ConnectionWatchEnumerator watch, int descriptor, CancellationToken cancellationToken)
            {
                this.watch = new WeakReference<ConnectionWatchEnumerator>(watch);
                this.descriptor = descriptor;
                this.cancellationToken = cancellationToken;
            }

            internal Task Finished => finished.Task;

            internal void Hold(ConnectionWatchEnumerator watch) => held = watch;

            internal void Stop() => stopped = true;

            internal void Run()
            {
                try
                {
                    while (Step()) { }
                }
                finally
                {
                    held = null;
                    finished.TrySetResult(true);
                }
            }

            // One slice: false once the call is answered or the enumerator gone.
            // Not inlined, so that no reference to it outlives the step.
            [MethodImpl(MethodImplOptions.NoInlining)]
            private bool Step()
            {
                if (!watch.TryGetTarget(out ConnectionWatchEnumerator? target)) return false; // dropped
                if (stopped)
                {
                    target.Complete(false);
                    return false;
                }
                try
                {
                    cancellationToken.ThrowIfCancellationRequested();
                    target = null; // not held while it waits
                    if (!NativeBridge.WaitReadable(descriptor, WaitSliceMilliseconds)) return true;
                    Thread.Sleep(GatherMilliseconds);
                    if (!watch.TryGetTarget(out target)) return false;
                    if (stopped)
                    {
                        target.Complete(false);
                        return false;
                    }
                    if (!target.Read()) return true; // only losses were waiting
                    target.Complete(true);
                    return false;
                }
                catch (Exception failure)
                {
                    // A descriptor closed under the wait means that the
                    // enumerator was collected meanwhile.
                    if (target == null && !watch.TryGetTarget(out target)) return false;
                    target.Fail(failure);
                    return false;
                }
            }
        }
    }
}
