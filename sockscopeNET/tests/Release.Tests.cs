// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // Snapshots are counted by the tests' build of the native half
    // (CountingNativeHalf), so a leak or a double release shows as a count,
    // not as heap growth that the runtime's own allocations could hide or
    // imitate.
    [Collection("alone")]
    public class ReleaseTests
    {
        private static void Settle()
        {
            for (int round = 0; round < 3; round++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        }

        // Subclasses rely on it: Dispose(true) on every Dispose, Dispose(false)
        // once from the finalizer of a wrapper never disposed, and no
        // finalizer after Dispose.
        [Fact]
        public void DisposeAndFinalizerCallTheReleaseAsSubclassesExpect()
        {
            Settle();
            var calls = new List<bool>();
            DisposeTwice(calls);
            Settle();
            Assert.Equal(new[] { true, true }, calls);

            calls.Clear();
            Abandon(calls);
            Settle();
            Assert.Equal(new[] { false }, calls);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void DisposeTwice(List<bool> calls)
        {
            var wrapper = new RecordingWrapper(calls);
            wrapper.getstat_tcp();
            wrapper.Dispose();
            wrapper.Dispose();
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void Abandon(List<bool> calls) => new RecordingWrapper(calls).getstat_udp();

        // Records every call of the release with its argument.
        private sealed class RecordingWrapper : sockscopeNET
        {
            private readonly List<bool> calls;

            internal RecordingWrapper(List<bool> calls) => this.calls = calls;

            protected override void Dispose(bool disposing)
            {
                lock (calls) calls.Add(disposing);
                base.Dispose(disposing);
            }
        }

        [Fact]
        public void EverySnapshotIsGivenBack()
        {
            long before = CountingNativeHalf.LiveSnapshots();
            // The wrapper's native calls reach the counting build: a snapshot
            // taken through them shows in its count.
            IntPtr held = NativeMethods.GetTcpTable();
            Assert.NotEqual(IntPtr.Zero, held);
            Assert.Equal(before + 1, CountingNativeHalf.LiveSnapshots());
            NativeMethods.FreeTcpTable(held);
            Assert.Equal(before, CountingNativeHalf.LiveSnapshots());

            using var udp = new System.Net.Sockets.UdpClient(new System.Net.IPEndPoint(System.Net.IPAddress.Loopback, 0));
            using var tables = new sockscopeNET();
            for (int i = 0; i < 20; i++)
            {
                Assert.NotEmpty(tables.getstat_tcp());
                Assert.NotEmpty(tables.getstat_udp());
                tables.getstat_tcp6();
                tables.getstat_udp6();
            }
            Assert.Equal(before, CountingNativeHalf.LiveSnapshots());
        }

        [Fact]
        public void SnapshotIsGivenBackWhenCopyingFails()
        {
            long before = CountingNativeHalf.LiveSnapshots();
            Assert.Throws<InvalidOperationException>(() => NativeBridge.Snapshot<FailingTcpRecord, object>(
                NativeMethods.GetTcpTable, NativeMethods.FreeTcpTable));
            Assert.Equal(before, CountingNativeHalf.LiveSnapshots());
        }

        // ENOMEM is memory running out; any other errno, or none (a failure
        // that left errno 0), is an IOException that says which.
        [Theory]
        [InlineData(12, typeof(OutOfMemoryException), "out of memory")]
        [InlineData(24, typeof(System.IO.IOException), "read: too many open files (EMFILE, errno 24).")]
        [InlineData(4095, typeof(System.IO.IOException), "read: errno 4095.")]
        [InlineData(0, typeof(System.IO.IOException), "unknown error")]
        public void TableThatCannotBeReadIsAnErrorNotAnEmptyArray(int errno, Type expected, string message)
        {
            bool freed = false;
            Func<IntPtr> failing = () =>
            {
                System.Runtime.InteropServices.Marshal.SetLastPInvokeError(errno);
                return IntPtr.Zero;
            };
            Exception failure = Assert.ThrowsAny<Exception>(() => NativeBridge.Snapshot<NativeTcpRow, statTCPROW_NET>(
                failing, rows => freed = true));
            Assert.IsType(expected, failure);
            Assert.Contains(message, failure.Message);
            Assert.False(freed);
        }

        // A TCP record whose conversion fails, as a text conversion could.
        private struct FailingTcpRecord : INativeRecord<object>
        {
#pragma warning disable CS0649 // filled by the native library
            private NativeTcpRow record;
#pragma warning restore CS0649

            public uint Count => record.Count;

            public object ToRow() => throw new InvalidOperationException("conversion failed");
        }
    }
}
