// SPDX-License-Identifier: MIT
using System;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Runtime.CompilerServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // Alone: a process another test starts holds this one's sockets until
    // it runs its program, and would be an owner of them meanwhile.
    [Collection("alone")]
    public class WrapperTests
    {
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
                // Ours by its local end: another process may listen on the
                // same port at another address.
                statTCPROW_NET row = Assert.Single(rows, r => r.LocalAddr == "127.0.0.1" && r.LocalPort == port && r.Statestr == "LISTEN");
                Assert.Equal("127.0.0.1", row.LocalAddr);
                Assert.Equal("0.0.0.0", row.RemoteAddr);
                Assert.Equal(0, row.RemotePort);
                Assert.Equal(2, row.Statenum);
                Assert.Equal((uint)OwnProcess.Id, row.ProcessId);
                Assert.Equal(unchecked((ushort)OwnProcess.Id), row.PID);
                Assert.Equal(OwnProcess.Name(), row.ProcessName);
                Assert.All(rows, r => Assert.Equal((ushort)rows.Length, r.size));
                Assert.All(rows, r => Assert.Equal(unchecked((ushort)r.ProcessId), r.PID));
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
            statUDPROW_NET row = Assert.Single(rows, r => r.LocalAddr == "127.0.0.1" && r.LocalPort == port);
            Assert.Equal("127.0.0.1", row.LocalAddr);
            Assert.Equal((uint)OwnProcess.Id, row.ProcessId);
            Assert.Equal(unchecked((ushort)OwnProcess.Id), row.PID);
            Assert.Equal(OwnProcess.Name(), row.ProcessName);
            Assert.All(rows, r =>
            {
                Assert.Null(r.RemoteAddr);
                Assert.Null(r.Statestr);
                Assert.Equal(0, r.RemotePort);
                Assert.Equal(0, r.Statenum);
                Assert.Equal(unchecked((ushort)r.ProcessId), r.PID);
            });
        }

        // .NET's dual-mode listener (IPv6Any) and an IPv4 client of it: the
        // listener and the server end are in the IPv6 table.
        [Fact]
        public void DualStackListenerAndItsIpv4ClientShowInTheIpv6Tables()
        {
            var listener = new TcpListener(IPAddress.IPv6Any, 0);
            listener.Server.DualMode = true;
            listener.Start();
            using var udp = new UdpClient(new IPEndPoint(IPAddress.IPv6Loopback, 0));
            try
            {
                ushort port = (ushort)((IPEndPoint)listener.LocalEndpoint).Port;
                using var client = new TcpClient(AddressFamily.InterNetwork);
                client.Connect(IPAddress.Loopback, port);
                using var server = listener.AcceptTcpClient();
                using var tables = new sockscopeNET();
                statTCPROW_NET[] rows = tables.getstat_tcp6();
                statTCPROW_NET listening = Assert.Single(rows, r => r.LocalAddr == "::" && r.LocalPort == port && r.Statestr == "LISTEN");
                Assert.Equal("::", listening.LocalAddr);
                Assert.Equal((uint)OwnProcess.Id, listening.ProcessId);
                Assert.Equal(OwnProcess.Name(), listening.ProcessName);
                ushort clientPort = (ushort)((IPEndPoint)client.Client.LocalEndPoint!).Port;
                statTCPROW_NET serverEnd = Assert.Single(rows, r => r.LocalPort == port && r.RemotePort == clientPort && r.Statestr == "ESTABLISH");
                Assert.Equal("::ffff:127.0.0.1", serverEnd.LocalAddr);
                Assert.Equal("::ffff:127.0.0.1", serverEnd.RemoteAddr);
                // Neither is in the IPv4 table (where a connection of another
                // process may have left this port in TIME_WAIT).
                Assert.DoesNotContain(tables.getstat_tcp(), r => r.LocalPort == port && r.ProcessId == (uint)OwnProcess.Id);

                ushort udpPort = (ushort)((IPEndPoint)udp.Client.LocalEndPoint).Port;
                statUDPROW_NET udpRow = Assert.Single(tables.getstat_udp6(), r => r.LocalAddr == "::1" && r.LocalPort == udpPort);
                Assert.Equal("::1", udpRow.LocalAddr);
                Assert.Equal((uint)OwnProcess.Id, udpRow.ProcessId);
            }
            finally { listener.Stop(); }
        }

        [Fact]
        public void ArraysAreFreshEachCallAndOutliveDispose()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            try
            {
                using var tables = new sockscopeNET();
                statTCPROW_NET[] first = tables.getstat_tcp();
                string[] before = first.Select(r => $"{r.LocalAddr}:{r.LocalPort} {r.Statestr} {r.ProcessName}").ToArray();
                Assert.NotSame(first, tables.getstat_tcp());
                tables.Dispose();
                Assert.Equal(before, first.Select(r => $"{r.LocalAddr}:{r.LocalPort} {r.Statestr} {r.ProcessName}"));
            }
            finally { listener.Stop(); }
        }

        // The wrapper keeps the latest array of each kind alive until the next
        // call of that kind or its Dispose, and no longer.
        [Fact]
        public void WrapperHoldsTheLatestArrayUntilTheNextCallOrDispose()
        {
            var tables = new sockscopeNET();
            WeakReference tcp = LatestTcp(tables), udp = LatestUdp(tables);
            Collect();
            Assert.True(tcp.IsAlive && udp.IsAlive);
            WeakReference tcp6 = LatestTcp6(tables);
            Collect();
            Assert.False(tcp.IsAlive);
            Assert.True(tcp6.IsAlive && udp.IsAlive);
            tables.Dispose();
            Collect();
            Assert.False(tcp6.IsAlive || udp.IsAlive);
            GC.KeepAlive(tables);
        }

        // Each array is reachable only from the wrapper once these return.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static WeakReference LatestTcp(sockscopeNET tables) => new WeakReference(tables.getstat_tcp());

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static WeakReference LatestTcp6(sockscopeNET tables) => new WeakReference(tables.getstat_tcp6());

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static WeakReference LatestUdp(sockscopeNET tables) => new WeakReference(tables.getstat_udp());

        private static void Collect()
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
            GC.Collect();
        }

        [Fact]
        public void LookupsByName()
        {
            using var child = new TestChild("tcp-listen", "127.0.0.1");
            using var tables = new sockscopeNET();
            Assert.Equal((ulong)child.Id, tables.getProcessId(child.Name));
            Assert.Equal((ulong)child.Ports[0], tables.getnetPort_gx2(child.Name));
            statTCPROW_NET row = Assert.Single(tables.getstat_tcp(),
                r => r.LocalAddr == "127.0.0.1" && r.LocalPort == child.Ports[0] && r.Statestr == "LISTEN");
            Assert.Equal((uint)child.Id, row.ProcessId);
            Assert.Equal(child.Name, row.ProcessName);
            Assert.Equal(0UL, tables.getProcessId(child.Name.ToUpperInvariant()));
            Assert.Equal(0UL, tables.getProcessId("no-such-process-" + Guid.NewGuid().ToString("N")));
            Assert.Equal(0UL, tables.getnetPort_gx2("no-such-process-" + Guid.NewGuid().ToString("N")));
            Assert.Equal(0UL, tables.getProcessId(""));
            // No name holds a zero: the name is not cut there.
            Assert.Equal(0UL, tables.getProcessId(child.Name + "\0junk"));
            Assert.Equal(0UL, tables.getnetPort_gx2(child.Name + "\0junk"));
        }

        [Fact]
        public void BadArgumentsAndDisposedObjects()
        {
            var tables = new sockscopeNET();
            Assert.Equal("ProcessName", Assert.Throws<ArgumentNullException>(() => tables.getProcessId(null)).ParamName);
            Assert.Equal("ProcessName", Assert.Throws<ArgumentNullException>(() => tables.getnetPort_gx2(null)).ParamName);
            tables.Dispose();
            tables.Dispose();
            Assert.Throws<ObjectDisposedException>(() => tables.getstat_tcp());
            Assert.Throws<ObjectDisposedException>(() => tables.getstat_udp());
            Assert.Throws<ObjectDisposedException>(() => tables.getProcessId("x"));
            Assert.Throws<ObjectDisposedException>(() => tables.getnetPort_gx2("x"));
        }
    }
}
