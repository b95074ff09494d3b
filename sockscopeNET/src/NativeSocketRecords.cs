// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET
{
    // Mirrors of the C interface's structures (sockscope/sockets.h), field
    // for field as of library 1.2. Later versions may add members at the end
    // of each: sockets and owners are reached by the strides the snapshot
    // gives, never by these sizes, and the selection says its own size.

    /// <summary>struct sockscope_selection (40 bytes, as of library 1.3:
    /// Expression, always null here, reads as none to 1.2, which takes a
    /// larger selection whose added members are zero).</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativeSelection
    {
        internal UIntPtr Size;
        internal uint What;
        internal uint States;
        internal ushort* Ports;
        internal UIntPtr PortCount;
        internal byte* Expression;
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

    /// <summary>struct sockscope_socket (128 bytes).</summary>
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
