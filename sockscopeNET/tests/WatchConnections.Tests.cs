// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace sockscopeNET.Tests
{
    // SocketTable.WatchConnections on connections between named processes
    // the tests start. They load kernel programs and count this process's
    // descriptors: alone.
    [Collection("alone")]
    public class WatchConnectionsTests
    {
        private const int Connections = 50;

        // A burst from a named client to a named server: each connection
        // opens and closes once on each side, with the right owner there.
        [Fact]
        public async Task EveryConnectionOnceOnEachSideWithItsOwner()
        {
            // Room for every record of the machine's other connections too
            // while this process is slow to read: a loss would leave some of
            // the burst's unseen.
            // ExactAccepts: the accepting side's owner from accept itself on
            // every kernel, as the sources below expect.
            await using var watch = new RunningWatch(
                new ConnectionWatchOptions { IncludeOpens = true, BufferBytes = 32 << 20, ExactAccepts = true });
            using var server = new TestChild(TestProgram.ConnectionPeer, new string[0], "serve", "127.0.0.1", Connections.ToString());
            var listening = new IPEndPoint(IPAddress.Loopback, server.Ports[0]);
            using var client = new TestChild(TestProgram.ConnectionPeer, new string[0],
                "connect", "127.0.0.1", server.Ports[0].ToString(), Connections.ToString());
            ulong home = TestNamespace.Of("self");
            List<ConnectionRecord> records = await watch.ReadUntil(
                r => r.NetworkNamespace == home && (r.LocalEndPoint.Equals(listening) || r.RemoteEndPoint.Equals(listening)),
                got => got.Count(r => r.Kind == ConnectionKind.Closed && r.Side != ConnectionSide.Listen) == 2 * Connections);
            Assert.Equal(0, watch.Lost);

            foreach (var (side, owner, source) in new[]
                     {
                         (ConnectionSide.Connect, client, ConnectionOwnerSource.Connect),
                         (ConnectionSide.Accept, server, ConnectionOwnerSource.Accept),
                     })
            {
                ConnectionRecord[] ends = records.Where(r => r.Side == side).ToArray();
                // Each socket opened once, then closed once.
                Assert.Equal(Connections, ends.Select(r => r.Cookie).Distinct().Count());
                Assert.All(ends.GroupBy(r => r.Cookie),
                    socket => Assert.Equal(new[] { ConnectionKind.Opened, ConnectionKind.Closed }, socket.Select(r => r.Kind)));
                Assert.All(ends, r =>
                {
                    Assert.Equal((owner.Id, owner.Name, source), (r.ProcessId, r.ProcessName, r.OwnerSource));
                    Assert.Equal((ProtocolType.Tcp, AddressFamily.InterNetwork), (r.Protocol, r.AddressFamily));
                    Assert.Equal(side == ConnectionSide.Connect ? r.RemoteEndPoint : r.LocalEndPoint, listening);
                });
                Assert.All(ends.Where(r => r.Kind == ConnectionKind.Closed), r =>
                {
                    Assert.Equal(ConnectionEnd.Normal, r.End);
                    Assert.Equal(TcpState.Closed, r.States[^1]);
                    // Each time is the kernel's nanoseconds rounded down to a tick.
                    Assert.InRange((r.ClosedAt - r.OpenedAt - r.Lifetime).Value.Ticks, -1, 1);
                    // "hello", with the SYN and FIN as the kernel counts them.
                    Assert.Equal(5UL, side == ConnectionSide.Connect ? r.BytesSent : r.BytesReceived); // "hello": payload
                });
            }
            Assert.Contains(records, r => r.Side == ConnectionSide.Listen && r.Kind == ConnectionKind.Opened && r.ProcessId == server.Id);
        }

        // A reader that stops reading while a burst fills the smallest
        // buffer: every connection of the burst is either read or counted
        // lost, and the losses are told on the records after them.
        [Fact]
        public async Task AStalledReaderIsToldHowManyRecordsWereLost()
        {
            const int burst = 200;
            await using var watch = new RunningWatch(new ConnectionWatchOptions { BufferBytes = 1 });
            // The watch gives its first record as soon as one comes, and
            // reads no more until asked: the test asks after the burst.
            using var server = new TestChild(TestProgram.ConnectionPeer, new string[0], "serve", "127.0.0.1", burst.ToString());
            var listening = new IPEndPoint(IPAddress.Loopback, server.Ports[0]);
            using (new TestChild(TestProgram.ConnectionPeer, new string[0], "connect", "127.0.0.1", server.Ports[0].ToString(), burst.ToString()))
            {
            }
            ulong home = TestNamespace.Of("self");
            await watch.ReadUntil(
                r => r.NetworkNamespace == home && r.Kind == ConnectionKind.Closed && r.Side != ConnectionSide.Listen &&
                     (r.LocalEndPoint.Equals(listening) || r.RemoteEndPoint.Equals(listening)),
                got => got.Count + watch.Lost >= 2 * burst);
            Assert.True(watch.Lost > 0);
        }

        [Fact]
        public void BadOptionsAreRefusedByTheCallItself()
        {
            Assert.Throws<ArgumentNullException>(() => SocketTable.WatchConnections(null));
            foreach (var bad in new[]
                     {
                         new ConnectionWatchOptions { TrackedSockets = -1 },
                         new ConnectionWatchOptions { TrackedSockets = ConnectionWatchOptions.MaxTrackedSockets + 1 },
                         new ConnectionWatchOptions { BufferBytes = -1 },
                         new ConnectionWatchOptions { BufferBytes = ConnectionWatchOptions.MaxBufferBytes + 1 },
                     })
                Assert.Throws<ArgumentOutOfRangeException>(() => SocketTable.WatchConnections(bad));
        }

        // However the enumeration ends, cancelled while it waits or left
        // after a record, its stream is closed: no descriptor of the kernel
        // objects it loaded stays open.
        [Fact]
        public async Task EndingTheWatchClosesItsStream()
        {
            SocketTable.GetSockets(); // the snapshots' own kernel objects, kept between calls, are loaded before counting
            int before = RunningWatch.BpfDescriptors();

            var cancelled = new RunningWatch(new ConnectionWatchOptions());
            Assert.True(RunningWatch.BpfDescriptors() > before);
            TimeSpan took = await cancelled.Cancel();
            await cancelled.DisposeAsync();
            Assert.Equal(before, RunningWatch.BpfDescriptors());
            // It waits in slices of 100 ms; this bound only catches a watch that doesn't end.
            Assert.True(took < TimeSpan.FromSeconds(2), $"the watch took {took} to end");

            using var timeout = new CancellationTokenSource(TimeSpan.FromSeconds(60));
            IAsyncEnumerator<ConnectionRecord> left = SocketTable.WatchConnections(timeout.Token).GetAsyncEnumerator();
            Task<bool> first = left.MoveNextAsync().AsTask();
            try
            {
                var listener = new TcpListener(IPAddress.Loopback, 0);
                listener.Start();
                try
                {
                    using var client = new TcpClient(AddressFamily.InterNetwork);
                    client.Connect((IPEndPoint)listener.LocalEndpoint);
                }
                finally { listener.Stop(); }
                Assert.True(await first);
                Assert.True(RunningWatch.BpfDescriptors() > before);
            }
            finally
            {
                if (!first.IsCompleted)
                {
                    timeout.Cancel();
                    try { await first; }
                    catch (OperationCanceledException) { }
                }
                await left.DisposeAsync();
            }
            Assert.Equal(before, RunningWatch.BpfDescriptors());
        }

        // "This machine can't" is not an I/O failure, whichever errno says it;
        // every message names its errno in words.
        [Theory]
        [InlineData(1, typeof(UnauthorizedAccessException), "operation not permitted (EPERM, errno 1)")]
        [InlineData(95, typeof(PlatformNotSupportedException), "operation not supported (EOPNOTSUPP, errno 95)")]
        [InlineData(38, typeof(PlatformNotSupportedException), "function not implemented (ENOSYS, errno 38)")]
        [InlineData(24, typeof(System.IO.IOException), "too many open files (EMFILE, errno 24)")]
        public void AFailedOpenSaysWhy(int errno, Type expected, string words)
        {
            Exception failure = NativeBridge.OpenFailure(errno);
            Assert.IsType(expected, failure);
            Assert.Contains(words, failure.Message);
        }

        // A pending MoveNextAsync keeps nothing alive unless it is awaited:
        // an enumerator dropped meanwhile is closed by the finalizer. One
        // disposed meanwhile ends that call and is closed before
        // DisposeAsync returns.
        [Fact]
        public async Task AnIdleWatchDroppedOrDisposedIsClosed()
        {
            SocketTable.GetSockets();
            int before = RunningWatch.BpfDescriptors();
            StartAndDrop(before);
            for (int i = 0; i < 50 && RunningWatch.BpfDescriptors() != before; i++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                Thread.Sleep(100);
            }
            Assert.Equal(before, RunningWatch.BpfDescriptors());

            using var timeout = new CancellationTokenSource(TimeSpan.FromSeconds(60));
            IAsyncEnumerator<ConnectionRecord> disposed = SocketTable.WatchConnections(timeout.Token).GetAsyncEnumerator();
            Task<bool> pending = disposed.MoveNextAsync().AsTask();
            await disposed.DisposeAsync();
            Assert.Equal(before, RunningWatch.BpfDescriptors());
            // False, or true for a connection of the machine's that closed first.
            await pending.WaitAsync(TimeSpan.FromSeconds(5));
            Assert.False(await disposed.MoveNextAsync());
        }

        [System.Runtime.CompilerServices.MethodImpl(System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
        private static void StartAndDrop(int before)
        {
            IAsyncEnumerator<ConnectionRecord> dropped = SocketTable.WatchConnections().GetAsyncEnumerator();
            _ = dropped.MoveNextAsync();
            Assert.True(RunningWatch.BpfDescriptors() > before);
        }
    }
}
