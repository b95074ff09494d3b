// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // Native objects and snapshots are counted by the native half, so a leak
    // or a double release shows as a count, not as heap growth that the
    // runtime's own allocations could hide or imitate.
    [Collection("alone")]
    public class ReleaseTests
    {
        // Lets every wrapper that is already garbage be finalized, so that the
        // count no longer moves on its own.
        private static long SettledLiveObjects()
        {
            for (int round = 0; round < 3; round++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
            return NativeMethods.LiveObjects();
        }

        [Fact]
        public void FinalizerReleasesAbandonedWrappers()
        {
            const int count = 1000;
            long before = SettledLiveObjects();
            MakeAndAbandon(count, before);
            long after = NativeMethods.LiveObjects();
            for (int round = 0; round < 20 && after != before; round++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                after = NativeMethods.LiveObjects();
            }
            Assert.True(after == before, $"{after - before} of {count} abandoned wrappers still hold a native object");
        }

        // The wrappers are reachable only from this frame, so they are garbage
        // once it returns.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void MakeAndAbandon(int count, long before)
        {
            var wrappers = new List<sockscopeNET>(count);
            for (int i = 0; i < count; i++)
            {
                var wrapper = new sockscopeNET();
                if (i % 100 == 0) wrapper.getProcessId("x"); // some of them used, too
                wrappers.Add(wrapper);
            }
            Assert.Equal(before + count, NativeMethods.LiveObjects());
        }

        [Fact]
        public void DisposeReleasesAtOnceAndOnlyOnce()
        {
            long before = SettledLiveObjects();
            var calls = new List<bool>();
            DisposeTwice(calls, before);
            SettledLiveObjects();
            Assert.Equal(new[] { true, true }, calls); // disposed, so never finalized
            Assert.Equal(before, NativeMethods.LiveObjects());

            calls.Clear();
            Abandon(calls);
            SettledLiveObjects();
            Assert.Equal(new[] { false }, calls); // undisposed: finalized once
            Assert.Equal(before, NativeMethods.LiveObjects());
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void DisposeTwice(List<bool> calls, long before)
        {
            var wrapper = new RecordingWrapper(calls);
            Assert.Equal(before + 1, NativeMethods.LiveObjects());
            wrapper.Dispose();
            Assert.Equal(before, NativeMethods.LiveObjects());
            wrapper.Dispose();
            Assert.Equal(before, NativeMethods.LiveObjects());
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
            using var udp = new System.Net.Sockets.UdpClient(new System.Net.IPEndPoint(System.Net.IPAddress.Loopback, 0));
            long before = NativeMethods.LiveSnapshots();
            using var tables = new sockscopeNET();
            for (int i = 0; i < 20; i++)
            {
                Assert.NotEmpty(tables.getstat_tcp());
                Assert.NotEmpty(tables.getstat_udp());
            }
            Assert.Equal(before, NativeMethods.LiveSnapshots());
        }

        [Fact]
        public void SnapshotIsGivenBackWhenCopyingFails()
        {
            long before = NativeMethods.LiveSnapshots();
            using var tables = new sockscopeNET();
            IntPtr instance = (IntPtr)typeof(sockscopeNET)
                .GetField("stat_ins", System.Reflection.BindingFlags.NonPublic | System.Reflection.BindingFlags.Instance)
                .GetValue(tables);
            IntPtr pending = IntPtr.Zero;
            Assert.Throws<InvalidOperationException>(() => NativeBridge.Snapshot<FailingTcpRecord, object>(
                instance, ref pending, NativeMethods.GetTcpTable, NativeMethods.FreeTcpTable));
            Assert.Equal(IntPtr.Zero, pending);
            Assert.Equal(before, NativeMethods.LiveSnapshots());
        }

        [Fact]
        public void TableThatCannotBeReadIsAnErrorNotAnEmptyArray()
        {
            IntPtr pending = IntPtr.Zero;
            bool freed = false;
            Func<IntPtr, IntPtr> outOfMemory = instance =>
            {
                System.Runtime.InteropServices.Marshal.SetLastPInvokeError(12); // ENOMEM
                return IntPtr.Zero;
            };
            Assert.Throws<OutOfMemoryException>(() => NativeBridge.Snapshot<NativeTcpRow, statTCPROW_NET>(
                IntPtr.Zero, ref pending, outOfMemory, (instance, rows) => freed = true));
            Assert.False(freed);
            Exception noDescriptor = NativeBridge.Failure("The connection table", 24); // EMFILE
            Assert.IsType<System.IO.IOException>(noDescriptor);
            Assert.Contains("errno 24", noDescriptor.Message);
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
