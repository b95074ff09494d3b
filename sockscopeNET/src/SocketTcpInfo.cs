// SPDX-License-Identifier: MIT
#nullable enable
using System;

namespace sockscopeNET
{
    /// <summary>
    /// The kernel's TCP state of a connection (its tcp_info), as it was when
    /// the snapshot was taken. A kernel older than a member gives 0 there.
    /// Counts above <see cref="int.MaxValue"/> (or <see cref="long.MaxValue"/>)
    /// read as that maximum.
    /// </summary>
    public sealed class SocketTcpInfo
    {
        internal SocketTcpInfo(in NativeTcpInfo info, string? congestion)
        {
            Congestion = congestion;
            CongestionState = info.CaState;
            Retransmits = info.Retransmits;
            Probes = info.Probes;
            Backoff = info.Backoff;
            HasTimestamps = (info.Options & NativeTcpInfo.TIMESTAMPS) != 0;
            HasSack = (info.Options & NativeTcpInfo.SACK) != 0;
            HasEcn = (info.Options & NativeTcpInfo.ECN) != 0;
            bool scaled = (info.Options & NativeTcpInfo.WINDOW_SCALE) != 0;
            SendWindowScale = scaled ? info.SendWindowScale : null;
            ReceiveWindowScale = scaled ? info.ReceiveWindowScale : null;
            IsApplicationLimited = info.AppLimited != 0;
            RetransmissionTimeout = Microseconds(info.Rto);
            DelayedAckTimeout = Microseconds(info.Ato);
            SendMss = Count(info.SendMss);
            ReceiveMss = Count(info.ReceiveMss);
            Unacknowledged = Count(info.Unacked);
            Sacked = Count(info.Sacked);
            Lost = Count(info.Lost);
            Retransmitting = Count(info.Retrans);
            SinceLastDataSent = TimeSpan.FromTicks(info.LastDataSentMs * TimeSpan.TicksPerMillisecond);
            SinceLastDataReceived = TimeSpan.FromTicks(info.LastDataReceivedMs * TimeSpan.TicksPerMillisecond);
            SinceLastAckReceived = TimeSpan.FromTicks(info.LastAckReceivedMs * TimeSpan.TicksPerMillisecond);
            PathMtu = Count(info.Pmtu);
            ReceiveSlowStartThreshold = Count(info.ReceiveSsthresh);
            RoundTripTime = Microseconds(info.Rtt);
            RoundTripTimeVariance = Microseconds(info.Rttvar);
            SendSlowStartThreshold = Count(info.SendSsthresh);
            CongestionWindow = Count(info.SendCwnd);
            AdvertisedMss = Count(info.AdvertisedMss);
            Reordering = Count(info.Reordering);
            ReceiveRoundTripTime = Microseconds(info.ReceiveRtt);
            ReceiveSpace = Count(info.ReceiveSpace);
            TotalRetransmits = Count(info.TotalRetrans);
            MinRoundTripTime = Microseconds(info.MinRtt);
            NotSentBytes = Count(info.NotSentBytes);
            Delivered = Count(info.Delivered);
            SendWindow = Count(info.SendWindow);
            PacingRate = Count(info.PacingRate);
            MaxPacingRate = Count(info.MaxPacingRate);
            BytesAcked = Count(info.BytesAcked);
            BytesReceived = Count(info.BytesReceived);
            BytesSent = Count(info.BytesSent);
            BytesRetransmitted = Count(info.BytesRetrans);
            DeliveryRate = Count(info.DeliveryRate);
            BusyTime = Microseconds(info.BusyTime);
            ReceiveWindowLimitedTime = Microseconds(info.ReceiveWindowLimited);
            SendBufferLimitedTime = Microseconds(info.SendBufferLimited);
            SegmentsOut = Count(info.SegmentsOut);
            SegmentsIn = Count(info.SegmentsIn);
            DataSegmentsOut = Count(info.DataSegmentsOut);
            DataSegmentsIn = Count(info.DataSegmentsIn);
        }

        private static int Count(uint count) => SocketMemory.Count(count);

        private static long Count(ulong count) => count > long.MaxValue ? long.MaxValue : (long)count;

        // A time of microseconds; one beyond TimeSpan (no kernel gives it) is its maximum.
        private static TimeSpan Microseconds(ulong microseconds) =>
            microseconds > (ulong)(TimeSpan.MaxValue.Ticks / 10) ? TimeSpan.MaxValue : TimeSpan.FromTicks((long)microseconds * 10);

        /// <summary>The congestion control algorithm ("cubic", "bbr"); null when the kernel didn't say.</summary>
        public string? Congestion { get; }

        /// <summary>The congestion state: 0 open, 1 disorder, 2 cwr, 3 recovery, 4 loss.</summary>
        public int CongestionState { get; }

        /// <summary>Retransmissions of the head segment now.</summary>
        public int Retransmits { get; }

        /// <summary>Zero-window or keepalive probes unanswered.</summary>
        public int Probes { get; }

        /// <summary>The exponential backoff of the retransmission timer.</summary>
        public int Backoff { get; }

        /// <summary>TCP timestamps are on.</summary>
        public bool HasTimestamps { get; }

        /// <summary>Selective acknowledgements are on.</summary>
        public bool HasSack { get; }

        /// <summary>Explicit congestion notification is on.</summary>
        public bool HasEcn { get; }

        /// <summary>The peer's window scale; null when the window is not scaled.</summary>
        public int? SendWindowScale { get; }

        /// <summary>This end's window scale; null when the window is not scaled.</summary>
        public int? ReceiveWindowScale { get; }

        /// <summary>The delivery rate was limited by the application, not the network.</summary>
        public bool IsApplicationLimited { get; }

        /// <summary>The retransmission timeout (rto).</summary>
        public TimeSpan RetransmissionTimeout { get; }

        /// <summary>The delayed-acknowledgement timeout (ato).</summary>
        public TimeSpan DelayedAckTimeout { get; }

        /// <summary>The maximum segment size sent, in bytes.</summary>
        public int SendMss { get; }

        /// <summary>The maximum segment size received, in bytes.</summary>
        public int ReceiveMss { get; }

        /// <summary>Segments in flight.</summary>
        public int Unacknowledged { get; }

        /// <summary>Segments selectively acknowledged.</summary>
        public int Sacked { get; }

        /// <summary>Segments thought lost.</summary>
        public int Lost { get; }

        /// <summary>Segments retransmitted and in flight.</summary>
        public int Retransmitting { get; }

        /// <summary>Since data was last sent.</summary>
        public TimeSpan SinceLastDataSent { get; }

        /// <summary>Since data was last received.</summary>
        public TimeSpan SinceLastDataReceived { get; }

        /// <summary>Since an acknowledgement was last received.</summary>
        public TimeSpan SinceLastAckReceived { get; }

        /// <summary>The path MTU, in bytes.</summary>
        public int PathMtu { get; }

        /// <summary>The receive slow-start threshold.</summary>
        public int ReceiveSlowStartThreshold { get; }

        /// <summary>The smoothed round-trip time.</summary>
        public TimeSpan RoundTripTime { get; }

        /// <summary>The round-trip time's variance.</summary>
        public TimeSpan RoundTripTimeVariance { get; }

        /// <summary>The send slow-start threshold, in segments; 2147483647 (infinite) at the start.</summary>
        public int SendSlowStartThreshold { get; }

        /// <summary>The congestion window, in segments.</summary>
        public int CongestionWindow { get; }

        /// <summary>The maximum segment size advertised, in bytes.</summary>
        public int AdvertisedMss { get; }

        /// <summary>The reordering the connection allows for, in segments.</summary>
        public int Reordering { get; }

        /// <summary>The receiver's round-trip time estimate.</summary>
        public TimeSpan ReceiveRoundTripTime { get; }

        /// <summary>The receive space, in bytes.</summary>
        public int ReceiveSpace { get; }

        /// <summary>Segments retransmitted in all.</summary>
        public int TotalRetransmits { get; }

        /// <summary>The least round-trip time seen.</summary>
        public TimeSpan MinRoundTripTime { get; }

        /// <summary>Bytes written and not sent yet.</summary>
        public int NotSentBytes { get; }

        /// <summary>Segments delivered, retransmissions included.</summary>
        public int Delivered { get; }

        /// <summary>The peer's advertised window, in bytes.</summary>
        public int SendWindow { get; }

        /// <summary>The pacing rate, in bytes a second.</summary>
        public long PacingRate { get; }

        /// <summary>The highest pacing rate allowed, in bytes a second (<see cref="long.MaxValue"/>: unlimited).</summary>
        public long MaxPacingRate { get; }

        /// <summary>Bytes acknowledged.</summary>
        public long BytesAcked { get; }

        /// <summary>Bytes received.</summary>
        public long BytesReceived { get; }

        /// <summary>Bytes sent, retransmissions included.</summary>
        public long BytesSent { get; }

        /// <summary>Bytes retransmitted.</summary>
        public long BytesRetransmitted { get; }

        /// <summary>The delivery rate, in bytes a second.</summary>
        public long DeliveryRate { get; }

        /// <summary>Time with data in flight.</summary>
        public TimeSpan BusyTime { get; }

        /// <summary>Time limited by the peer's receive window.</summary>
        public TimeSpan ReceiveWindowLimitedTime { get; }

        /// <summary>Time limited by the send buffer.</summary>
        public TimeSpan SendBufferLimitedTime { get; }

        /// <summary>Segments sent.</summary>
        public int SegmentsOut { get; }

        /// <summary>Segments received.</summary>
        public int SegmentsIn { get; }

        /// <summary>Segments with data sent.</summary>
        public int DataSegmentsOut { get; }

        /// <summary>Segments with data received.</summary>
        public int DataSegmentsIn { get; }
    }
}
