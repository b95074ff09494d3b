// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace sockscopeNET.Tests
{
    // A watch whose stream is open once this is made (its first
    // MoveNextAsync has returned), read on demand. Disposing it cancels it
    // and waits for it to end, so that its stream is closed even when the
    // test fails; it ends by itself after 60 s.
    internal sealed class RunningWatch : IAsyncDisposable
    {
        private readonly CancellationTokenSource cancel = new CancellationTokenSource(TimeSpan.FromSeconds(60));
        private readonly IAsyncEnumerator<ConnectionRecord> records;
        private Task<bool> next; // a Task, so that it may be awaited again after it failed
        private bool ended;

        internal RunningWatch(ConnectionWatchOptions options)
        {
            records = SocketTable.WatchConnections(options, cancel.Token).GetAsyncEnumerator();
            next = records.MoveNextAsync().AsTask();
        }

        // Records lost before the ones read so far.
        internal long Lost { get; private set; }

        // The records `wanted` picks, read until `enough` says they are.
        internal async Task<List<ConnectionRecord>> ReadUntil(Func<ConnectionRecord, bool> wanted, Func<List<ConnectionRecord>, bool> enough)
        {
            var picked = new List<ConnectionRecord>();
            while (!enough(picked))
            {
                bool more;
                try
                {
                    more = await next;
                }
                catch (OperationCanceledException)
                {
                    throw new Xunit.Sdk.XunitException($"within 60 s the watch gave {picked.Count} of the records wanted, and told of {Lost} lost");
                }
                Assert.True(more, "the watch ended");
                ConnectionRecord record = records.Current;
                next = records.MoveNextAsync().AsTask();
                Lost += record.LostBefore;
                if (wanted(record)) picked.Add(record);
            }
            return picked;
        }

        // Cancels the watch, reads what it still gives, and returns once it
        // ended with the cancellation: the time that took.
        internal async Task<TimeSpan> Cancel()
        {
            DateTime asked = DateTime.UtcNow;
            cancel.Cancel();
            try
            {
                while (await next) next = records.MoveNextAsync().AsTask();
                Assert.Fail("the watch ended without the cancellation");
            }
            catch (OperationCanceledException)
            {
            }
            finally
            {
                ended = true;
            }
            return DateTime.UtcNow - asked;
        }

        public async ValueTask DisposeAsync()
        {
            if (!ended)
            {
                try { await Cancel(); }
                catch (Exception) { } // the test reports its own failure
            }
            await records.DisposeAsync();
            cancel.Dispose();
        }

        // This process's descriptors of BPF objects (programs, maps, links).
        internal static int BpfDescriptors() =>
            new DirectoryInfo("/proc/self/fd").EnumerateFileSystemInfos()
                .Count(fd => fd.LinkTarget?.StartsWith("anon_inode:bpf", StringComparison.Ordinal) == true);
    }
}
