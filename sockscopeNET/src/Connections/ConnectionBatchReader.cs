// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.IO;
using System.Net.NetworkInformation;
using System.Net.Sockets;

namespace sockscopeNET
{
    /// <summary>
    /// Copies a batch of the connection stream into <see cref="ConnectionRecord"/>
    /// objects. It only reads the batch; NativeBridge reads and frees it.
    /// </summary>
    internal static unsafe class ConnectionBatchReader
    {
        private const byte AF_INET6 = 10;

        // The batch members read here end with `lost`.
        private const int BatchMembersRead = 40;

        private const long NanosecondsPerTick = 100;

        // A record before UserContainer and ContainerUser were added.
        private const int ConnectionMembersRequired = 200;

        private static readonly ConnectionRecord[] None = new ConnectionRecord[0];

        internal static ConnectionRecord[] Read(NativeConnections* batch, long lostBefore, out long lostUnassigned)
        {
            if ((ulong)batch->Size < BatchMembersRead || (ulong)batch->ConnectionSize < ConnectionMembersRequired)
                throw new IOException("The connection records came from a libsockscope_x64 older than this wrapper (before 1.2).");
            long lost = batch->Lost > (ulong)(long.MaxValue - lostBefore) ? long.MaxValue : lostBefore + (long)batch->Lost;
            var records = batch->Count == UIntPtr.Zero ? None : new ConnectionRecord[checked((int)(ulong)batch->Count)];
            lostUnassigned = records.Length == 0 ? lost : 0;
            byte* at = batch->Connections;
            long stride = (long)(ulong)batch->ConnectionSize;
            for (int i = 0; i < records.Length; i++, at += stride)
                records[i] = Record((NativeConnection*)at, i == 0 ? lost : 0, stride >= sizeof(NativeConnection));
            return records;
        }

        private static ConnectionRecord Record(NativeConnection* c, long lostBefore, bool hasUserContainer)
        {
            string? userContainer = hasUserContainer ? StringMarshal.chr2str(c->UserContainer) : null;
            bool ipv6 = c->Family == AF_INET6;
            var states = new TcpState[Math.Min((int)c->StateCount, 16)];
            for (int i = 0; i < states.Length; i++) states[i] = NativeTcpStates.ToTcpState(c->States[i]);
            return new ConnectionRecord(
                new NativeEndPoint(ipv6, c->LocalAddress, c->LocalPort, 0),
                new NativeEndPoint(ipv6, c->RemoteAddress, c->RemotePort, 0))
            {
                Kind = (ConnectionKind)c->Kind,
                Protocol = (ProtocolType)c->Protocol,
                AddressFamily = ipv6 ? AddressFamily.InterNetworkV6 : AddressFamily.InterNetwork,
                NetworkNamespace = c->Netns,
                NetworkNamespaceName = StringMarshal.chr2str(c->NetnsName),
                Cookie = c->Cookie,
                ProcessId = unchecked((int)c->Pid),
                ProcessName = StringMarshal.chr2str(c->Name),
                Comm = StringMarshal.chr2str(c->Comm),
                Cgroup = StringMarshal.chr2str(c->Cgroup),
                ContainerId = StringMarshal.chr2str(c->Container),
                UserContainerId = userContainer,
                ContainerUserId = userContainer == null ? null : unchecked((int)c->ContainerUser),
                Side = (ConnectionSide)c->Side,
                OwnerSource = (ConnectionOwnerSource)c->OwnerSource,
                End = (ConnectionEnd)c->End,
                Error = c->Error,
                States = Array.AsReadOnly(states),
                StatesIncomplete = (c->Flags & NativeConnection.PathCut) != 0,
                OpenedAt = Time(c->OpenedNs),
                ClosedAt = Time(c->ClosedNs),
                Lifetime = c->LifetimeNs < 0 ? null : TimeSpan.FromTicks(c->LifetimeNs / NanosecondsPerTick),
                BytesSent = c->BytesSent,
                BytesReceived = c->BytesReceived,
                CloserProcessId = unchecked((int)c->CloserPid),
                LostBefore = lostBefore,
            };
        }

        // CLOCK_REALTIME nanoseconds; 0 when the moment was not seen.
        private static DateTimeOffset? Time(long nanoseconds) =>
            nanoseconds == 0 ? null : DateTimeOffset.UnixEpoch.AddTicks(nanoseconds / NanosecondsPerTick);
    }
}
