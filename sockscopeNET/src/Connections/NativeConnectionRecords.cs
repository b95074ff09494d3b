// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    // Mirrors of the connection stream's structures (sockscope/connections.h),
    // field for field as of library 1.2. Records are reached by the stride
    // each batch gives, never by these sizes.

    /// <summary>struct sockscope_stream_options (24 bytes).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeStreamOptions
    {
        internal const uint ReportOpens = 0x1; // SOCKSCOPE_STREAM_OPENS
        internal const uint AcceptAtSyscallExit = 0x2; // SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT

        internal UIntPtr Size;
        internal uint Flags;
        internal uint TrackedSockets;
        internal UIntPtr BufferBytes;
    }

    /// <summary>struct sockscope_connections (40 bytes).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeConnections
    {
        internal UIntPtr Size;
        internal UIntPtr ConnectionSize;
        internal UIntPtr Count;
        internal byte* Connections;
        internal ulong Lost;
    }

    /// <summary>struct sockscope_connection (216 bytes; 200 before UserContainer).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeConnection
    {
        internal const byte PathCut = 0x4; // SOCKSCOPE_CONNECTION_PATH_CUT

        internal byte Protocol;
        internal byte Family;
        internal byte Kind;
        internal byte Side;
        internal byte OwnerSource;
        internal byte End;
        internal byte Flags;
        internal byte StateCount;
        internal fixed byte States[16];
        internal fixed byte LocalAddress[16];
        internal fixed byte RemoteAddress[16];
        internal ushort LocalPort;
        internal ushort RemotePort;
        internal int Error;
        internal uint Pid;
        internal uint CloserPid;
        internal ulong Cookie;
        internal ulong Netns;
        internal long OpenedNs;
        internal long ClosedNs;
        internal long LifetimeNs;
        internal ulong BytesSent;
        internal ulong BytesReceived;
        internal ulong CgroupId;
        internal IntPtr LocalText;
        internal IntPtr RemoteText;
        internal IntPtr Name;
        internal IntPtr Comm;
        internal IntPtr Cgroup;
        internal IntPtr Container;
        internal IntPtr NetnsName;
        internal IntPtr EndName;
        internal IntPtr UserContainer;
        internal uint ContainerUser;
        private uint reserved;
    }

    /// <summary>struct pollfd of poll(2).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativePollFd
    {
        internal const short POLLIN = 0x1;
        internal const short POLLNVAL = 0x20;

        internal int Fd;
        internal short Events;
        internal short ReturnedEvents;
    }
}
