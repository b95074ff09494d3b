// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Threading;
using Xunit;

namespace sockscopeNET.Tests
{
    // SocketTable on sockets this process opens: every field checked against
    // what the sockets themselves and /proc say.
    public class SocketTableTests
    {
        [Fact]
        public void ListenerItsPendingConnectionAndTheClientEnd()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start(7);
            try
            {
                int port = Port(listener.Server);
                using var client = new TcpClient(AddressFamily.InterNetwork);
                client.Connect(IPAddress.Loopback, port);

                // The connection waits to be accepted: a listener's receive
                // queue counts such connections, its send queue is the backlog.
                SocketEntry listening = Eventually(SocketSelection.Tcp | SocketSelection.IPv4,
                    e => e.State == TcpState.Listen && e.LocalEndPoint.Equals(new IPEndPoint(IPAddress.Loopback, port)) && e.ReceiveQueue == 1);
                Assert.Equal(ProtocolType.Tcp, listening.Protocol);
                Assert.Equal(new IPEndPoint(IPAddress.Loopback, port), listening.LocalEndPoint);
                Assert.Equal(new IPEndPoint(IPAddress.Any, 0), listening.RemoteEndPoint);
                Assert.Equal(7, listening.SendQueue);
                Assert.False(listening.IsDualStack);
                // Each read is a copy: one reader's change reaches no other.
                listening.LocalEndPoint.Port = 1;
                listening.RemoteEndPoint.Port = 1;
                Assert.Equal(port, listening.LocalEndPoint.Port);
                Assert.Equal(0, listening.RemoteEndPoint.Port);
                AssertHeldByThisProcess(listening, listener.Server);

                // Asked by port, the same three sockets as in the whole table
                // (other addresses may have this port too).
                var server = new IPEndPoint(IPAddress.Loopback, port);
                bool Ours(SocketEntry e) => e.LocalEndPoint.Equals(server) || e.RemoteEndPoint.Equals(server);
                SocketEntry[] onPort = SocketTable.GetSockets(SocketSelection.Tcp | SocketSelection.IPv4).Where(Ours).ToArray();
                Assert.Equal(3, onPort.Length);
                Assert.Equal(onPort.Select(e => (e.LocalEndPoint, e.RemoteEndPoint, e.State, e.Inode)),
                    SocketTable.GetSockets(SocketSelection.Tcp, port).Where(Ours).Select(e => (e.LocalEndPoint, e.RemoteEndPoint, e.State, e.Inode)));
                SocketEntry clientEnd = Assert.Single(onPort, e => e.LocalEndPoint.Equals(client.Client.LocalEndPoint));
                Assert.Equal(new IPEndPoint(IPAddress.Loopback, port), clientEnd.RemoteEndPoint);
                Assert.Equal(TcpState.Established, clientEnd.State);
                AssertHeldByThisProcess(clientEnd, client.Client);
                // No descriptor refers to the server end until it is accepted.
                SocketEntry serverEnd = Assert.Single(onPort, e => e.RemoteEndPoint.Equals(client.Client.LocalEndPoint));
                Assert.Equal(TcpState.Established, serverEnd.State);
                Assert.Equal(0UL, serverEnd.Inode);
                Assert.Empty(serverEnd.Owners);
            }
            finally { listener.Stop(); }
        }

        [Fact]
        public void UnreadBytesAndAConnectedUdpPeer()
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            try
            {
                using var client = new TcpClient(AddressFamily.InterNetwork);
                client.Connect(IPAddress.Loopback, Port(listener.Server));
                using TcpClient server = listener.AcceptTcpClient();
                client.GetStream().Write(new byte[5000], 0, 5000);
                SocketEntry unread = Eventually(SocketSelection.Tcp | SocketSelection.IPv4,
                    e => e.LocalEndPoint.Equals(server.Client.LocalEndPoint) && e.RemoteEndPoint.Equals(client.Client.LocalEndPoint) &&
                         e.ReceiveQueue == 5000);
                AssertHeldByThisProcess(unread, server.Client);

                using var receiver = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0));
                using var sender = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0));
                sender.Connect((IPEndPoint)receiver.Client.LocalEndPoint!);
                sender.Send(new byte[100], 100);
                // A UDP queue counts the kernel's memory for the datagram,
                // more than its bytes.
                SocketEntry waiting = Eventually(SocketSelection.Udp,
                    e => e.LocalEndPoint.Equals(receiver.Client.LocalEndPoint) && e.ReceiveQueue >= 100);
                Assert.Equal(new IPEndPoint(IPAddress.Any, 0), waiting.RemoteEndPoint);
                SocketEntry connected = Assert.Single(SocketTable.GetSockets(SocketSelection.Udp | SocketSelection.IPv4),
                    e => e.LocalEndPoint.Equals(sender.Client.LocalEndPoint));
                Assert.Equal(ProtocolType.Udp, connected.Protocol);
                Assert.Equal(receiver.Client.LocalEndPoint, connected.RemoteEndPoint);
                Assert.Equal(TcpState.Unknown, connected.State);
                AssertHeldByThisProcess(connected, sender.Client);
            }
            finally { listener.Stop(); }
        }

        // .NET's dual-mode sockets take IPv4 too; a v6-only one does not,
        // and an IPv4 client's server end has a v4-mapped address.
        [Fact]
        public void DualStackAndV6OnlySockets()
        {
            var dual = new TcpListener(IPAddress.IPv6Any, 0);
            dual.Server.DualMode = true;
            dual.Start();
            var v6only = new TcpListener(IPAddress.IPv6Any, 0);
            v6only.Server.DualMode = false;
            v6only.Start();
            try
            {
                using var udp = new UdpClient(AddressFamily.InterNetworkV6);
                udp.Client.DualMode = true;
                udp.Client.Bind(new IPEndPoint(IPAddress.IPv6Any, 0));
                // Not v6-only, but on a v4-mapped address: IPv4 alone.
                using var mapped = new UdpClient(AddressFamily.InterNetworkV6);
                mapped.Client.DualMode = true;
                mapped.Client.Bind(new IPEndPoint(IPAddress.Loopback.MapToIPv6(), 0));
                using var client = new TcpClient(AddressFamily.InterNetwork);
                client.Connect(IPAddress.Loopback, Port(dual.Server));
                using TcpClient server = dual.AcceptTcpClient();

                IReadOnlyList<SocketEntry> ipv6 = SocketTable.GetSockets(SocketSelection.IPv6);
                Assert.All(ipv6, e => Assert.Equal(AddressFamily.InterNetworkV6, e.LocalEndPoint.AddressFamily));
                // Ours by their cookies: another process may listen on these
                // ports at other addresses.
                SocketEntry dualEntry = Assert.Single(ipv6, e => e.Cookie == Cookie(dual.Server));
                Assert.Equal(new IPEndPoint(IPAddress.IPv6Any, Port(dual.Server)), dualEntry.LocalEndPoint);
                Assert.True(dualEntry.IsDualStack);
                AssertHeldByThisProcess(dualEntry, dual.Server);
                Assert.False(Assert.Single(ipv6, e => e.Cookie == Cookie(v6only.Server)).IsDualStack);
                SocketEntry udpEntry = Assert.Single(ipv6, e => e.Protocol == ProtocolType.Udp && e.LocalEndPoint.Equals(udp.Client.LocalEndPoint));
                Assert.True(udpEntry.IsDualStack);
                Assert.False(Assert.Single(ipv6, e => e.Protocol == ProtocolType.Udp && e.LocalEndPoint.Equals(mapped.Client.LocalEndPoint)).IsDualStack);
                SocketEntry serverEnd = Assert.Single(ipv6, e => e.LocalEndPoint.Equals(server.Client.LocalEndPoint));
                Assert.Equal(IPAddress.Parse("::ffff:127.0.0.1"), serverEnd.RemoteEndPoint.Address);
                Assert.False(serverEnd.IsDualStack);
                Assert.DoesNotContain(SocketTable.GetSockets(SocketSelection.IPv4),
                    e => e.Cookie == Cookie(dual.Server) || e.Cookie == Cookie(server.Client));
            }
            finally
            {
                dual.Stop();
                v6only.Stop();
            }
        }

        // A link-local address has its interface as its scope. The socket is
        // bound to one that loopback lacks (IP_FREEBIND allows it) and sends
        // nothing.
        [Fact]
        public void LinkLocalAddressCarriesItsInterface()
        {
            using var socket = new Socket(AddressFamily.InterNetworkV6, SocketType.Dgram, ProtocolType.Udp);
            socket.SetRawSocketOption(0 /* SOL_IP */, 15 /* IP_FREEBIND */, BitConverter.GetBytes(1));
            int loopback = NetworkInterface.IPv6LoopbackInterfaceIndex;
            socket.Bind(new IPEndPoint(IPAddress.Parse("fe80::5c0:9e%" + loopback), 0));
            using var plain = new UdpClient(new IPEndPoint(IPAddress.IPv6Loopback, 0));
            IReadOnlyList<SocketEntry> udp = SocketTable.GetSockets(SocketSelection.Udp | SocketSelection.IPv6);
            SocketEntry scoped = Assert.Single(udp, e => e.LocalEndPoint.Port == Port(socket) && e.LocalEndPoint.Address.IsIPv6LinkLocal);
            Assert.Equal(loopback, scoped.LocalEndPoint.Address.ScopeId);
            Assert.Equal(socket.LocalEndPoint, scoped.LocalEndPoint);
            // Other addresses have none (an IPEndPoint with one would not be equal).
            Assert.Single(udp, e => e.LocalEndPoint.Equals(plain.Client.LocalEndPoint));
        }

        // Another process's socket, under a name longer than the kernel's
        // 15 bytes.
        [Fact]
        public void OwnerIsAnotherProcessByItsWholeName()
        {
            using var child = new TestChild("tcp-listen", "127.0.0.1");
            Assert.True(child.Name.Length > 15);
            SocketEntry entry = Assert.Single(SocketTable.GetSockets(SocketSelection.Tcp, child.Ports[0]),
                e => e.LocalEndPoint.Equals(new IPEndPoint(IPAddress.Loopback, child.Ports[0])));
            SocketOwner owner = Assert.Single(entry.Owners);
            Assert.Equal(child.Id, owner.ProcessId);
            Assert.Equal(child.Name, owner.ProcessName);
            Assert.Equal($"socket:[{entry.Inode}]", new FileInfo($"/proc/{child.Id}/fd/{owner.FileDescriptor}").LinkTarget);
        }

        [Fact]
        public void SelectionPicksTablesInOrder()
        {
            using var udp4 = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0));
            using var udp6 = new UdpClient(new IPEndPoint(IPAddress.IPv6Loopback, 0));
            var tcp4 = new TcpListener(IPAddress.Loopback, 0);
            tcp4.Start();
            try
            {
                // TCP before UDP, IPv4 before IPv6.
                static int Table(SocketEntry e) =>
                    (e.Protocol == ProtocolType.Tcp ? 0 : 2) + (e.LocalEndPoint.AddressFamily == AddressFamily.InterNetwork ? 0 : 1);
                IReadOnlyList<SocketEntry> all = SocketTable.GetSockets();
                Assert.Equal(all.Select(Table).OrderBy(t => t), all.Select(Table));
                Assert.Equal(new[] { 0, 2, 3 }, new[] { tcp4.Server, udp4.Client, udp6.Client }
                    .Select(socket => Table(all.Single(e => e.Cookie == Cookie(socket)))));
                Assert.All(SocketTable.GetSockets(SocketSelection.Udp), e => Assert.Equal(ProtocolType.Udp, e.Protocol));
                // Other processes' sockets may use these port numbers too.
                int[] ports = { Port(udp4.Client), Port(udp6.Client) };
                IReadOnlyList<SocketEntry> onPorts = SocketTable.GetSockets(SocketSelection.Udp | SocketSelection.IPv4, ports);
                Assert.All(onPorts, e => Assert.True(Table(e) == 2 &&
                    (ports.Contains(e.LocalEndPoint.Port) || ports.Contains(e.RemoteEndPoint.Port))));
                Assert.Single(onPorts, e => e.LocalEndPoint.Equals(udp4.Client.LocalEndPoint));
            }
            finally { tcp4.Stop(); }
        }

        [Fact]
        public void BadSelectionsAndPortsAreRefusedBeforeTheCall()
        {
            foreach (SocketSelection bad in new[] { (SocketSelection)0, (SocketSelection)0x20, (SocketSelection)(-1) })
                Assert.Equal("selection", Assert.Throws<ArgumentException>(() => SocketTable.GetSockets(bad)).ParamName);
            Assert.Throws<ArgumentNullException>(() => SocketTable.GetSockets(SocketSelection.All, null!));
            Assert.Throws<ArgumentException>(() => SocketTable.GetSockets(SocketSelection.All, new int[0]));
            Assert.Throws<ArgumentOutOfRangeException>(() => SocketTable.GetSockets(SocketSelection.All, 80, 0));
            Assert.Throws<ArgumentOutOfRangeException>(() => SocketTable.GetSockets(SocketSelection.All, 65536));
        }

        // Really out of descriptors: the library's errno reaches the
        // exception, as for the wrapper class.
        [Fact]
        public void FailureCarriesTheLibrarysErrno()
        {
            Dictionary<string, string[]> facts = Probe.Run(DescriptorLimitProbe.Verb);
            Assert.Equal("IOException The socket table could not be read: too many open files (EMFILE, errno 24).", string.Join(" ", facts["thrown"]));
            Assert.True(int.Parse(facts["afterwards"][0]) > 0);
        }

        // The entry's inode is the socket's, this process holds it under a
        // descriptor that refers to it, by its name; uid and cookie are the
        // socket's own.
        private static void AssertHeldByThisProcess(SocketEntry entry, Socket socket)
        {
            Assert.NotEqual(0UL, entry.Inode);
            SocketOwner owner = Assert.Single(entry.Owners, o => o.ProcessId == Environment.ProcessId);
            Assert.Equal($"socket:[{entry.Inode}]", new FileInfo($"/proc/self/fd/{owner.FileDescriptor}").LinkTarget);
            Assert.Equal(OwnProcess.Name(), owner.ProcessName);
            Assert.Equal(OwnProcess.UserId(), entry.UserId);
            Assert.Equal(Cookie(socket), entry.Cookie);
        }

        internal static ulong Cookie(Socket socket)
        {
            var cookie = new byte[8];
            Assert.Equal(8, socket.GetRawSocketOption(1 /* SOL_SOCKET */, 57 /* SO_COOKIE */, cookie));
            return BitConverter.ToUInt64(cookie, 0);
        }

        private static int Port(Socket socket) => ((IPEndPoint)socket.LocalEndPoint!).Port;

        // The one entry that matches, once it does: a queue may fill a moment
        // after the call that fills it returned.
        private static SocketEntry Eventually(SocketSelection selection, Func<SocketEntry, bool> match)
        {
            for (int attempt = 0; attempt < 100; attempt++)
            {
                SocketEntry[] found = SocketTable.GetSockets(selection).Where(match).ToArray();
                if (found.Length == 1) return found[0];
                Assert.Empty(found);
                Thread.Sleep(20);
            }
            throw new Xunit.Sdk.XunitException("no entry matched within 2 s");
        }
    }
}
