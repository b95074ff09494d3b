using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Reflection;
using System.Runtime.InteropServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // The native heap is measured for the whole process, so these tests run
    // alone, not beside the other classes.
    [CollectionDefinition("native heap", DisableParallelization = true)]
    public class NativeHeapCollection
    {
    }

    [Collection("native heap")]
    public class WrapperTests
    {
        private static ushort OwnPid => unchecked((ushort)Environment.ProcessId);

        // Our own image name as the library makes it: the comm, or the
        // executable's name when the comm was cut at 15 bytes.
        private static string OwnName()
        {
            string comm = File.ReadAllText("/proc/self/comm").TrimEnd('\n');
            string exe = Path.GetFileName(Environment.ProcessPath ?? "");
            return comm.Length == 15 && exe.StartsWith(comm, StringComparison.Ordinal) ? exe : comm;
        }

        [Fact]
        public void ListenerShowsAsOursWithItsPortAndState()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            try
            {
                ushort port = (ushort)((IPEndPoint)listener.LocalEndpoint).Port;
                using var tables = new sockscopeNET();
                statTCPROW_NET[] rows = tables.getstat_tcp();
                statTCPROW_NET row = Assert.Single(rows, r => r.LocalPort == port && r.Statestr == "LISTEN");
                Assert.Equal("127.0.0.1", row.LocalAddr);
                Assert.Equal("0.0.0.0", row.RemoteAddr);
                Assert.Equal(0, row.RemotePort);
                Assert.Equal(2, row.Statenum);
                Assert.Equal(OwnPid, row.PID);
                Assert.Equal(OwnName(), row.ProcessName);
                Assert.All(rows, r => Assert.Equal((ushort)rows.Length, r.size));
            }
            finally { listener.Stop(); }
        }

        [Fact]
        public void UdpRowsLeaveTheTcpOnlyFieldsUnset()
        {
            using var socket = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0));
            ushort port = (ushort)((IPEndPoint)socket.Client.LocalEndPoint).Port;
            using var tables = new sockscopeNET();
            statUDPROW_NET[] rows = tables.getstat_udp();
            statUDPROW_NET row = Assert.Single(rows, r => r.LocalPort == port);
            Assert.Equal("127.0.0.1", row.LocalAddr);
            Assert.Equal(OwnPid, row.PID);
            Assert.Equal(OwnName(), row.ProcessName);
            Assert.All(rows, r =>
            {
                Assert.Null(r.RemoteAddr);
                Assert.Null(r.Statestr);
                Assert.Equal(0, r.RemotePort);
                Assert.Equal(0, r.Statenum);
            });
        }

        [Fact]
        public void ArraysAreFreshEachCallAndOutliveDispose()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            try
            {
                var tables = new sockscopeNET();
                statTCPROW_NET[] first = tables.getstat_tcp();
                string[] before = first.Select(r => $"{r.LocalAddr}:{r.LocalPort} {r.Statestr} {r.ProcessName}").ToArray();
                statTCPROW_NET[] second = tables.getstat_tcp();
                Assert.NotSame(first, second);
                Assert.Same(second, typeof(sockscopeNET).GetField("stat_row_tcp", BindingFlags.NonPublic | BindingFlags.Instance).GetValue(tables));
                Assert.Equal(IntPtr.Zero, typeof(sockscopeNET).GetField("stat_tcp", BindingFlags.NonPublic | BindingFlags.Instance).GetValue(tables));
                tables.Dispose();
                Assert.Equal(before, first.Select(r => $"{r.LocalAddr}:{r.LocalPort} {r.Statestr} {r.ProcessName}"));
                Assert.Null(typeof(sockscopeNET).GetField("stat_row_tcp", BindingFlags.NonPublic | BindingFlags.Instance).GetValue(tables));
            }
            finally { listener.Stop(); }
        }

        [Fact]
        public void LookupsByName()
        {
            using var child = new TestChild("tcp-listen", "127.0.0.1");
            using var tables = new sockscopeNET();
            Assert.Equal((ulong)child.Id, tables.getProcessId(child.Name));
            Assert.Equal((ulong)child.Ports[0], tables.getnetPort_gx2(child.Name));
            Assert.Equal(0UL, tables.getProcessId(child.Name.ToUpperInvariant()));
            Assert.Equal(0UL, tables.getProcessId("no-such-process-" + Guid.NewGuid().ToString("N")));
            Assert.Equal(0UL, tables.getnetPort_gx2("no-such-process-" + Guid.NewGuid().ToString("N")));
            Assert.Equal(0UL, tables.getProcessId(""));
        }

        [Fact]
        public void BadArgumentsAndDisposedObjects()
        {
            var tables = new sockscopeNET();
            Assert.Equal("ProcessName", Assert.Throws<ArgumentNullException>(() => tables.getProcessId(null)).ParamName);
            Assert.Throws<ArgumentNullException>(() => tables.getnetPort_gx2(null));
            tables.Dispose();
            tables.Dispose();
            Assert.Throws<ObjectDisposedException>(() => tables.getstat_tcp());
            Assert.Throws<ObjectDisposedException>(() => tables.getstat_udp());
            Assert.Throws<ObjectDisposedException>(() => tables.getProcessId("x"));
            Assert.Throws<ObjectDisposedException>(() => tables.getnetPort_gx2("x"));
        }

        [Fact]
        public void FinalizerReleasesAnUndisposedWrapper()
        {
            // Each native object is a small heap block: 20,000 of them left
            // behind would be some 640 KiB, well above the runtime's own
            // allocations, which the warm-up round settles first.
            AbandonWrappers(2000);
            long before = NativeHeap.InUse();
            AbandonWrappers(20000);
            Assert.InRange(NativeHeap.InUse() - before, long.MinValue, 256 * 1024);
        }

        private static void AbandonWrappers(int count)
        {
            for (int i = 0; i < count; i++) MakeGarbage(i);
            GC.Collect();
            GC.WaitForPendingFinalizers();
            GC.Collect();
        }

        private static void MakeGarbage(int i)
        {
            var wrapper = new sockscopeNET();
            if (i % 100 == 0) wrapper.getProcessId("x"); // some of them used, too
        }

        [Fact]
        public void ManySnapshotsLeaveNativeMemoryFlat()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            using var udp = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0));
            try
            {
                using var tables = new sockscopeNET();
                for (int i = 0; i < 200; i++) Churn(tables); // warm up the allocator
                long before = NativeHeap.InUse();
                for (int i = 0; i < 3000; i++) Churn(tables);
                long growth = NativeHeap.InUse() - before;
                Assert.True(growth < 64 * 1024, $"native heap grew by {growth} bytes over 3000 rounds");
            }
            finally { listener.Stop(); }
        }

        private static void Churn(sockscopeNET tables)
        {
            Assert.NotEmpty(tables.getstat_tcp());
            Assert.NotEmpty(tables.getstat_udp());
            tables.getProcessId("no-such-process");
        }
    }

    // Bytes in use on the C heap, as glibc's allocator counts them.
    internal static class NativeHeap
    {
        [StructLayout(LayoutKind.Sequential)]
        private struct MallocInfo2
        {
            public UIntPtr arena, ordblks, smblks, hblks, hblkhd, usmblks, fsmblks, uordblks, fordblks, keepcost;
        }

        [DllImport("libc", EntryPoint = "mallinfo2")]
        private static extern MallocInfo2 mallinfo2();

        internal static long InUse()
        {
            MallocInfo2 info = mallinfo2();
            return (long)info.uordblks.ToUInt64() + (long)info.hblkhd.ToUInt64();
        }
    }
}
