// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace sockscopeNET
{
    /// <summary>
    /// The watches that WatchConnections gives: each enumeration a stream of
    /// its own (a <see cref="ConnectionWatchEnumerator"/>), opened when it
    /// starts and closed when it ends, however it ends.
    /// </summary>
    internal sealed class ConnectionWatch : IAsyncEnumerable<ConnectionRecord>
    {
        private readonly uint flags; // NativeStreamOptions' flags
        private readonly int trackedSockets;
        private readonly long bufferBytes;
        private readonly Action<long>? recordsLost;
        private readonly CancellationToken cancellationToken;

        internal ConnectionWatch(uint flags, int trackedSockets, long bufferBytes, Action<long>? recordsLost,
            CancellationToken cancellationToken)
        {
            this.flags = flags;
            this.trackedSockets = trackedSockets;
            this.bufferBytes = bufferBytes;
            this.recordsLost = recordsLost;
            this.cancellationToken = cancellationToken;
        }

        /// <summary>An enumeration that ends when either token, WatchConnections' or this one, is cancelled.</summary>
        public IAsyncEnumerator<ConnectionRecord> GetAsyncEnumerator(CancellationToken enumeratorToken = default)
        {
            CancellationTokenSource? linked = null;
            CancellationToken token = cancellationToken;
            if (enumeratorToken.CanBeCanceled && enumeratorToken != cancellationToken)
            {
                if (cancellationToken.CanBeCanceled)
                {
                    linked = CancellationTokenSource.CreateLinkedTokenSource(cancellationToken, enumeratorToken);
                    token = linked.Token;
                }
                else
                {
                    token = enumeratorToken;
                }
            }
            return new ConnectionWatchEnumerator(flags, trackedSockets, bufferBytes, recordsLost, token, linked);
        }
    }
}
