// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Threading;
using Xunit;

namespace sockscopeNET.Tests
{
    // Socket details and Kill on a loopback connection of this process:
    // 5000 bytes the server end has not read, and a client end with
    // keepalive on and an idle time of an hour.
    public sealed class SocketDetailsTests : IDisposable
    {
        private const int Unread = 5000;
        private readonly TcpListener listener = new(IPAddress.Loopback, 0);
        private readonly Socket client = new(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        private readonly Socket server;
        private readonly UdpClient udp = new(new IPEndPoint(IPAddress.Loopback, 0));

        public SocketDetailsTests()
        {
            listener.Start();
            client.SetSocketOption(SocketOptionLevel.Socket, SocketOptionName.KeepAlive, true);
            client.SetSocketOption(SocketOptionLevel.Tcp, SocketOptionName.TcpKeepAliveTime, 3600);
            client.Connect(listener.LocalEndpoint);
            server = listener.AcceptSocket();
            client.Send(new byte[Unread]);
        }

        public void Dispose()
        {
            server.Dispose();
            client.Dispose();
            udp.Dispose();
            listener.Stop();
        }

        private int TcpPort => ((IPEndPoint)listener.LocalEndpoint).Port;
        private int UdpPort => ((IPEndPoint)udp.Client.LocalEndPoint!).Port;

        private static SocketEntry End(SocketSnapshot snapshot, Socket socket) =>
            Assert.Single(snapshot.Sockets, e => e.Protocol == ProtocolType.Tcp && e.LocalEndPoint.Equals(socket.LocalEndPoint) &&
                                                 e.RemoteEndPoint.Equals(socket.RemoteEndPoint));

        // A snapshot once the server end holds every byte and the client's
        // data is acknowledged (its timer back to keepalive).
        private SocketSnapshot Settled(SocketDetails details)
        {
            for (int attempt = 0; attempt < 100; attempt++)
            {
                SocketSnapshot snapshot = SocketTable.TakeSnapshot(SocketSelection.IPv4, details, TcpPort, UdpPort);
                if (End(snapshot, server).ReceiveQueue == Unread && End(snapshot, client).SendQueue == 0) return snapshot;
                Thread.Sleep(20);
            }
            throw new Xunit.Sdk.XunitException("the connection did not settle within 2 s");
        }

        [Fact]
        public void DetailsOfAConnectionWithUnreadData()
        {
            SocketSnapshot snapshot = Settled(SocketDetails.TcpInfo | SocketDetails.Timer | SocketDetails.Memory);
            Assert.Equal(0, snapshot.SkippedNamespaces);
            Assert.True(snapshot.UnreadableProcesses >= 0);

            SocketEntry serverEnd = End(snapshot, server);
            SocketTcpInfo info = serverEnd.TcpInfo!;
            Assert.NotNull(info);
            Assert.True(info.RoundTripTime > TimeSpan.Zero, $"rtt {info.RoundTripTime}");
            Assert.True(info.RoundTripTime < TimeSpan.FromSeconds(1), $"rtt {info.RoundTripTime}");
            Assert.True(info.SendMss > 0 && info.ReceiveMss > 0, $"mss {info.SendMss}/{info.ReceiveMss}");
            Assert.True(info.RetransmissionTimeout >= TimeSpan.FromMilliseconds(200), $"rto {info.RetransmissionTimeout}");
            Assert.False(string.IsNullOrEmpty(info.Congestion));
            Assert.True(info.BytesReceived >= Unread, $"received {info.BytesReceived}");
            Assert.True(info.SegmentsIn > 0 && info.DataSegmentsIn > 0);
            Assert.True(info.SinceLastDataReceived < TimeSpan.FromMinutes(1));
            Assert.True(serverEnd.Memory!.ReceiveAllocated >= Unread, $"receive memory {serverEnd.Memory.ReceiveAllocated}");
            Assert.True(serverEnd.Memory.ReceiveBuffer >= serverEnd.Memory.ReceiveAllocated);
            Assert.Equal(SocketTimerKind.Off, serverEnd.Timer!.Kind);

            SocketEntry clientEnd = End(snapshot, client);
            Assert.True(clientEnd.TcpInfo!.BytesAcked >= Unread, $"acked {clientEnd.TcpInfo.BytesAcked}");
            Assert.True(clientEnd.TcpInfo.BytesSent >= Unread);
            Assert.Equal(SocketTimerKind.Keepalive, clientEnd.Timer!.Kind);
            Assert.InRange(clientEnd.Timer.Expires, TimeSpan.FromMinutes(59), TimeSpan.FromHours(1));
            Assert.Equal(0, clientEnd.Timer.Retransmits);
            Assert.True(clientEnd.Memory!.SendBuffer > 0);
        }

        // Each socket carries what was asked, and only that; UDP never has
        // TCP's state or timer.
        [Theory]
        [InlineData(SocketDetails.None)]
        [InlineData(SocketDetails.TcpInfo)]
        [InlineData(SocketDetails.Timer)]
        [InlineData(SocketDetails.Memory)]
        [InlineData(SocketDetails.TcpInfo | SocketDetails.Memory)]
        public void OnlyTheDetailsAskedFor(SocketDetails details)
        {
            SocketSnapshot snapshot = Settled(details);
            Assert.Contains(snapshot.Sockets, e => e.Protocol == ProtocolType.Udp);
            Assert.All(snapshot.Sockets, e =>
            {
                bool tcp = e.Protocol == ProtocolType.Tcp;
                // A connection in TIME_WAIT (another test's, on the same
                // port) or SYN_RECV is no whole socket: the kernel keeps
                // neither its TCP state nor its memory, only its timer.
                bool whole = e.State != TcpState.TimeWait && e.State != TcpState.SynReceived;
                Assert.Equal(tcp && whole && details.HasFlag(SocketDetails.TcpInfo), e.TcpInfo != null);
                Assert.Equal(tcp && details.HasFlag(SocketDetails.Timer), e.Timer != null);
                Assert.Equal(whole && details.HasFlag(SocketDetails.Memory), e.Memory != null);
            });
            Assert.All(SocketTable.GetSockets(SocketSelection.IPv4, TcpPort), e => Assert.True(e.TcpInfo == null && e.Timer == null && e.Memory == null));
        }

        [Fact]
        public void BadDetailsArgumentsAreRefused()
        {
            Assert.Throws<ArgumentException>(() => SocketTable.TakeSnapshot(SocketSelection.Tcp, (SocketDetails)8));
            Assert.Throws<ArgumentException>(() => SocketTable.TakeSnapshot(0, SocketDetails.None));
            Assert.Throws<ArgumentNullException>(() => SocketTable.TakeSnapshot(SocketSelection.Tcp, SocketDetails.None, null!));
            Assert.Throws<ArgumentOutOfRangeException>(() => SocketTable.TakeSnapshot(SocketSelection.Tcp, SocketDetails.None, 0));
        }

        // The client end is destroyed: the server end gets a reset, the
        // client's own calls fail, and the socket is gone the second time.
        [Fact]
        public void KillAbortsTheConnectionOnce()
        {
            SocketEntry clientEnd = End(Settled(SocketDetails.None), client);
            Assert.True(SocketTable.Kill(clientEnd));
            server.ReceiveTimeout = 5000;
            var buffer = new byte[Unread];
            // Whatever had arrived may still be read first.
            SocketException reset = Assert.Throws<SocketException>(() => { for (int i = 0; i < 3; i++) server.Receive(buffer); });
            Assert.Equal(SocketError.ConnectionReset, reset.SocketErrorCode);
            Assert.Throws<SocketException>(() => client.Send(new byte[1]));
            Assert.False(SocketTable.Kill(clientEnd));
            Assert.DoesNotContain(SocketTable.GetSockets(SocketSelection.Tcp, TcpPort), e => e.Cookie == clientEnd.Cookie);
        }

        // Copies of a live socket's entry that the library refuses to act
        // on: another namespace, or a socket that is not TCP or UDP.
        [Fact]
        public void KillRefusesWhatIsNotOneOfTheCallersSockets()
        {
            SocketEntry clientEnd = End(Settled(SocketDetails.None), client);
            Assert.Throws<ArgumentNullException>(() => SocketTable.Kill(null!));
            foreach (SocketEntry copy in new[] { Copy(clientEnd, clientEnd.Protocol, 1), Copy(clientEnd, ProtocolType.Icmp, clientEnd.NetworkNamespace) })
                Assert.Throws<ArgumentException>(() => SocketTable.Kill(copy));
            // Still connected.
            client.Send(new byte[1]);
            Assert.Equal(Unread + 1, EventuallyUnread());
        }

        private int EventuallyUnread()
        {
            for (int attempt = 0; attempt < 100 && server.Available < Unread + 1; attempt++) Thread.Sleep(20);
            return server.Available;
        }

        private static SocketEntry Copy(SocketEntry e, ProtocolType protocol, ulong networkNamespace) =>
            new(protocol, e.Local, e.Remote, e.State, e.IsDualStack, e.ReceiveQueue, e.SendQueue, e.IsSendQueueKnown, e.UserId, e.Inode,
                e.Cookie, networkNamespace, e.NetworkNamespaceName, e.Owners.ToArray());
    }
}
