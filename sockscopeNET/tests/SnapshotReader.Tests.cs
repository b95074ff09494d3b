// SPDX-License-Identifier: MIT
#nullable enable
using System;
using System.Runtime.InteropServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // The reader on snapshots as other library versions lay them out, which
    // this machine's library doesn't make: one socket, its detail structures
    // beside it, every one filled with non-zero values.
    public unsafe class SnapshotReaderTests
    {
        private sealed class Block : IDisposable
        {
            internal readonly byte* At = (byte*)Marshal.AllocHGlobal(4096);
            internal Block() => new Span<byte>(At, 4096).Clear();
            public void Dispose() => Marshal.FreeHGlobal((IntPtr)At);
        }

        // A snapshot with sockets `stride` bytes apart whose detail pointers
        // (read or not) lead to structures that say they are `sizes` long.
        private static SocketEntry ReadOne(Block block, int stride, uint tcpInfoSize, uint timerSize, uint memorySize)
        {
            var snapshot = (NativeSnapshot*)block.At;
            var socket = (NativeSocket*)(block.At + 256);
            var info = (NativeTcpInfo*)(block.At + 1024);
            var timer = (NativeTimer*)(block.At + 2048);
            var memory = (NativeMemory*)(block.At + 2304);
            byte* congestion = block.At + 3072;
            "cubic\0"u8.CopyTo(new Span<byte>(congestion, 6));
            *snapshot = new NativeSnapshot { Size = (UIntPtr)48, SocketSize = (UIntPtr)stride, OwnerSize = (UIntPtr)56, Count = (UIntPtr)1, Sockets = (byte*)socket };
            socket->Protocol = 6;
            socket->Family = 2;
            socket->State = 1;
            // Where a 1.4 socket has its detail pointers; a 128-byte one ends before them.
            socket->TcpInfo = info;
            socket->Timer = timer;
            socket->Memory = memory;
            *info = new NativeTcpInfo { Size = tcpInfoSize, Congestion = (IntPtr)congestion, Rtt = 1500, SendMss = 1460, SegmentsIn = 9 };
            *timer = new NativeTimer { Size = timerSize, Kind = 2, Retransmits = 1, ExpiresMs = 5000 };
            *memory = new NativeMemory { Size = memorySize, ReceiveAllocated = 1, ReceiveBuffer = 2, SendAllocated = 3, Drops = 9 };
            SocketEntry[] read = SocketSnapshotReader.Read(snapshot, out _, out _);
            return Assert.Single(read);
        }

        [Fact]
        public void SocketsBeforeDetailsCarryNone()
        {
            using var block = new Block();
            SocketEntry entry = ReadOne(block, 128, (uint)sizeof(NativeTcpInfo), (uint)sizeof(NativeTimer), (uint)sizeof(NativeMemory));
            Assert.Null(entry.TcpInfo);
            Assert.Null(entry.Timer);
            Assert.Null(entry.Memory);
        }

        // Members past a structure's size read as zero (or null), however
        // the memory after it is filled; a larger structure's extra is left.
        [Theory]
        [InlineData(152, 12, 8, 12)]
        [InlineData(160, 4096, 64, 4096)]
        public void DetailsAreReadUpToTheirSize(int stride, uint tcpInfoSize, uint timerSize, uint memorySize)
        {
            using var block = new Block();
            SocketEntry entry = ReadOne(block, stride, tcpInfoSize, timerSize, memorySize);
            bool whole = tcpInfoSize >= sizeof(NativeTcpInfo);
            Assert.Equal(whole ? "cubic" : null, entry.TcpInfo!.Congestion);
            Assert.Equal(whole ? TimeSpan.FromMilliseconds(1.5) : TimeSpan.Zero, entry.TcpInfo.RoundTripTime);
            Assert.Equal(whole ? 9 : 0, entry.TcpInfo.SegmentsIn);
            Assert.Equal(SocketTimerKind.Keepalive, entry.Timer!.Kind);
            Assert.Equal(timerSize >= sizeof(NativeTimer) ? TimeSpan.FromSeconds(5) : TimeSpan.Zero, entry.Timer.Expires);
            Assert.Equal(1, entry.Memory!.ReceiveAllocated);
            Assert.Equal(2, entry.Memory.ReceiveBuffer);
            Assert.Equal(memorySize >= sizeof(NativeMemory) ? 3 : 0, entry.Memory.SendAllocated);
        }
    }
}
