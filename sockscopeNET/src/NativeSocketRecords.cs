// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    // Mirrors of the C interface's structures (sockscope/sockets.h), field
    // for field as of library 1.4. Later versions may add members at the end
    // of each: sockets and owners are reached by the strides the snapshot
    // gives, never by these sizes, the selection says its own size, and each
    // detail structure the size it was filled to. A 1.2 or 1.3 library's
    // sockets end before the detail pointers (SocketSnapshotReader).

    /// <summary>struct sockscope_selection (48 bytes, as of library 1.4).
    /// Expression, always null here, reads as none to 1.2, which takes a
    /// larger selection whose added members are zero. A selection that asks
    /// for no details is passed with 1.3's size (SizeBeforeDetails), so that
    /// it reads as it always did.</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeSelection
    {
        internal UIntPtr Size;
        internal uint What;
        internal uint States;
        internal ushort* Ports;
        internal UIntPtr PortCount;
        internal byte* Expression;
        internal uint Details;
        internal uint Reserved;

        /// <summary>The size of a selection before Details (1.3's).</summary>
        internal const int SizeBeforeDetails = 40;
    }

    /// <summary>struct sockscope_snapshot (48 bytes).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeSnapshot
    {
        internal UIntPtr Size;
        internal UIntPtr SocketSize;
        internal UIntPtr OwnerSize;
        internal UIntPtr Count;
        internal byte* Sockets;
        internal uint UnreadableProcesses;
        internal uint SkippedNamespaces;
    }

    /// <summary>struct sockscope_socket (152 bytes; 128 before the detail
    /// pointers, which a 1.2 or 1.3 library's sockets do not have).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeSocket
    {
        internal byte Protocol;
        internal byte Family;
        internal byte State;
        internal byte V6Only;
        internal uint Interface;
        internal IntPtr StateName;
        internal fixed byte LocalAddress[16];
        internal fixed byte RemoteAddress[16];
        internal IntPtr LocalText;
        internal IntPtr RemoteText;
        internal ushort LocalPort;
        internal ushort RemotePort;
        internal uint Uid;
        internal uint ReceiveQueue;
        internal uint SendQueue;
        internal ulong Inode;
        internal ulong Cookie;
        internal byte* Owners;
        internal uint OwnerCount;
        internal uint Flags;
        internal ulong Netns;
        internal IntPtr NetnsName;
        internal NativeTcpInfo* TcpInfo;
        internal NativeTimer* Timer;
        internal NativeMemory* Memory;
    }

    /// <summary>struct sockscope_tcp_info: times in microseconds unless
    /// named Ms. A later library may make it larger, an older one smaller:
    /// its Size says how much of it is filled.</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeTcpInfo
    {
        internal uint Size;
        internal uint KernelSize;
        internal IntPtr Congestion;
        internal byte CaState;
        internal byte Retransmits;
        internal byte Probes;
        internal byte Backoff;
        internal byte Options;
        internal byte SendWindowScale;
        internal byte ReceiveWindowScale;
        internal byte AppLimited;
        internal uint Rto;
        internal uint Ato;
        internal uint SendMss;
        internal uint ReceiveMss;
        internal uint Unacked;
        internal uint Sacked;
        internal uint Lost;
        internal uint Retrans;
        internal uint LastDataSentMs;
        internal uint LastDataReceivedMs;
        internal uint LastAckReceivedMs;
        internal uint Pmtu;
        internal uint ReceiveSsthresh;
        internal uint Rtt;
        internal uint Rttvar;
        internal uint SendSsthresh;
        internal uint SendCwnd;
        internal uint AdvertisedMss;
        internal uint Reordering;
        internal uint ReceiveRtt;
        internal uint ReceiveSpace;
        internal uint TotalRetrans;
        internal uint MinRtt;
        internal uint NotSentBytes;
        internal uint Delivered;
        internal uint SendWindow;
        internal ulong PacingRate;
        internal ulong MaxPacingRate;
        internal ulong BytesAcked;
        internal ulong BytesReceived;
        internal ulong BytesSent;
        internal ulong BytesRetrans;
        internal ulong DeliveryRate;
        internal ulong BusyTime;
        internal ulong ReceiveWindowLimited;
        internal ulong SendBufferLimited;
        internal uint SegmentsOut;
        internal uint SegmentsIn;
        internal uint DataSegmentsOut;
        internal uint DataSegmentsIn;

        // Options' bits: SOCKSCOPE_TCPI_*.
        internal const byte TIMESTAMPS = 0x1;
        internal const byte SACK = 0x2;
        internal const byte WINDOW_SCALE = 0x4;
        internal const byte ECN = 0x8;
    }

    /// <summary>struct sockscope_timer (12 bytes).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeTimer
    {
        internal uint Size;
        internal byte Kind;
        internal byte Retransmits;
        internal ushort Reserved;
        internal uint ExpiresMs;
    }

    /// <summary>struct sockscope_memory (40 bytes).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeMemory
    {
        internal uint Size;
        internal uint ReceiveAllocated;
        internal uint ReceiveBuffer;
        internal uint SendAllocated;
        internal uint SendBuffer;
        internal uint ForwardAllocated;
        internal uint SendQueued;
        internal uint Options;
        internal uint Backlog;
        internal uint Drops;
    }

    /// <summary>struct sockscope_owner (56 bytes; 40 before UserContainer).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeOwner
    {
        internal uint Pid;
        internal int Fd;
        internal IntPtr Name;
        internal IntPtr Comm;
        internal IntPtr Cgroup;
        internal IntPtr Container;
        internal IntPtr UserContainer;
        internal uint ContainerUser;
        private uint reserved;
    }
}
