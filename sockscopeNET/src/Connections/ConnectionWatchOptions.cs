// SPDX-License-Identifier: MIT
#nullable enable
using System;

namespace sockscopeNET
{
    /// <summary>
    /// How <see cref="SocketTable.WatchConnections(ConnectionWatchOptions, System.Threading.CancellationToken)"/>
    /// watches. The values are read when WatchConnections is called; changing
    /// them later changes no watch already made.
    /// </summary>
    public sealed class ConnectionWatchOptions
    {
        /// <summary>The most <see cref="TrackedSockets"/> may be.</summary>
        public const int MaxTrackedSockets = 4194304;

        /// <summary>The most <see cref="BufferBytes"/> may be (1 GiB).</summary>
        public const long MaxBufferBytes = 1L << 30;

        /// <summary>
        /// A record also when a connection opens (<see cref="ConnectionKind.Opened"/>),
        /// not only when it closes. False by default.
        /// </summary>
        public bool IncludeOpens { get; set; }

        /// <summary>
        /// Where the kernel refuses programs at its accept function's exit:
        /// the accepting side's owner from accept's own return
        /// (<see cref="ConnectionOwnerSource.Accept"/>) rather than from the
        /// socket's first send or receive. Every system call of every process
        /// on the machine then runs a program (a getppid() loop ran 1.5 times
        /// slower), sockets or not. False by default.
        /// </summary>
        public bool ExactAccepts { get; set; }

        /// <summary>
        /// How many sockets the kernel follows at once: about 200 bytes of
        /// kernel memory each, taken when the watch starts. 0 (the default)
        /// for 32768; at most <see cref="MaxTrackedSockets"/>.
        /// </summary>
        public int TrackedSockets { get; set; }

        /// <summary>
        /// Kernel memory for records waiting to be read, rounded up to a power
        /// of two pages. When it is full, records are lost (and counted, see
        /// <see cref="ConnectionRecord.LostBefore"/>). 0 (the default) for
        /// 2 MiB; at most <see cref="MaxBufferBytes"/>.
        /// </summary>
        public long BufferBytes { get; set; }

        /// <summary>
        /// Called with the number of records lost in the kernel when a read
        /// of the stream tells of losses but brings no record to carry them
        /// in its <see cref="ConnectionRecord.LostBefore"/>. Without it, such
        /// losses are added to the next record's LostBefore instead; either
        /// way each lost record is counted once, and a watch that ends
        /// before another record comes has told this callback of all its
        /// losses. It runs inside MoveNextAsync; what it throws ends the
        /// enumeration.
        /// </summary>
        public Action<long>? RecordsLostCallback { get; set; }
    }
}
