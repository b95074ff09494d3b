// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using Xunit;

namespace sockscopeNET.Tests
{
    // The wrapper's mirrors of the C structures, enums and flags, against
    // what the compiler makes of the library's headers: the native build's
    // sockscope_layout_probe (sockscopeNET/native/layout_probe.cpp) prints
    // that, and the test project copies it beside the counting native half.
    public class NativeLayoutTests
    {
        private sealed class Headers
        {
            internal readonly Dictionary<string, (int Size, List<string> Fields)> Structs = new();
            internal readonly Dictionary<string, List<(string Name, long Number)>> Enums = new();
            internal readonly Dictionary<string, long> Constants = new();

            internal Headers(string printed)
            {
                List<string> fields = null;
                List<(string, long)> values = null;
                foreach (string[] words in printed.Split('\n', StringSplitOptions.RemoveEmptyEntries).Select(line => line.Split(' ')))
                {
                    switch (words[0])
                    {
                        case "struct": Structs.Add(words[1], (int.Parse(words[2]), fields = new List<string>())); break;
                        case "field": fields.Add($"{Plain(words[1])} at {words[2]}, {words[3]} bytes"); break;
                        case "enum": Enums.Add(words[1], values = new List<(string, long)>()); break;
                        case "value": values.Add((words[1], long.Parse(words[2]))); break;
                        case "constant": Constants.Add(words[1], long.Parse(words[2])); break;
                        default: throw new FormatException($"sockscope_layout_probe printed '{string.Join(" ", words)}'");
                    }
                }
            }
        }

        private static readonly Lazy<Headers> Native = new(() =>
            new Headers(Command.Run(Path.Combine(AppContext.BaseDirectory, "sockscope_layout_probe"))));

        // A member's name without case and underscores: LocalAddress is local_address.
        private static string Plain(string name) => name.Replace("_", "").ToLowerInvariant();

        // The mirror's members that the C structure names otherwise: struct
        // pollfd's revents.
        private static readonly Dictionary<string, string> CNames = new() { ["ReturnedEvents"] = "revents" };

        private static int FieldSize(FieldInfo field)
        {
            var buffer = field.GetCustomAttribute<FixedBufferAttribute>();
            if (buffer != null) return buffer.Length * Marshal.SizeOf(buffer.ElementType);
            return field.FieldType.IsPointer ? IntPtr.Size : Marshal.SizeOf(field.FieldType);
        }

        [Theory]
        [InlineData(typeof(NativeSelection), "sockscope_selection")]
        [InlineData(typeof(NativeSnapshot), "sockscope_snapshot")]
        [InlineData(typeof(NativeSocket), "sockscope_socket")]
        [InlineData(typeof(NativeOwner), "sockscope_owner")]
        [InlineData(typeof(NativeTcpInfo), "sockscope_tcp_info")]
        [InlineData(typeof(NativeTimer), "sockscope_timer")]
        [InlineData(typeof(NativeMemory), "sockscope_memory")]
        [InlineData(typeof(NativeStreamOptions), "sockscope_stream_options")]
        [InlineData(typeof(NativeConnections), "sockscope_connections")]
        [InlineData(typeof(NativeConnection), "sockscope_connection")]
        [InlineData(typeof(NativePollFd), "pollfd")]
        [InlineData(typeof(NativeTcpRow), "statTCPROW")]
        [InlineData(typeof(NativeUdpRow), "statUDPROW")]
        public void MirrorIsLaidOutAsItsHeader(Type mirror, string structure)
        {
            Assert.True(Native.Value.Structs.TryGetValue(structure, out var native), $"the probe prints no struct {structure}");
            Assert.Equal(native.Size, Marshal.SizeOf(mirror));
            // Members in declaration order; `padding` names what C leaves
            // unnamed at a structure's end.
            Assert.Equal(
                native.Fields,
                mirror.GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.DeclaredOnly)
                    .Where(field => field.Name != "padding")
                    .OrderBy(field => field.MetadataToken)
                    .Select(field =>
                        $"{Plain(CNames.GetValueOrDefault(field.Name, field.Name))} at {Marshal.OffsetOf(mirror, field.Name)}, " +
                        $"{FieldSize(field)} bytes"));
        }

        // Each member's C name ends in its own in capitals (FirstCall:
        // SOCKSCOPE_OWNER_FROM_FIRST_CALL), and both have the same number.
        [Theory]
        [InlineData(typeof(SocketTimerKind), "sockscope_timer_kind")]
        [InlineData(typeof(ConnectionKind), "sockscope_connection_kind")]
        [InlineData(typeof(ConnectionSide), "sockscope_connection_side")]
        [InlineData(typeof(ConnectionOwnerSource), "sockscope_owner_source")]
        [InlineData(typeof(ConnectionEnd), "sockscope_connection_end")]
        public void EnumHasItsHeadersNumbers(Type mirror, string enumeration)
        {
            List<(string Name, long Number)> native = Native.Value.Enums[enumeration];
            Assert.Equal(native.Count, Enum.GetValues(mirror).Length);
            foreach (string name in Enum.GetNames(mirror))
            {
                string suffix = "_" + Regex.Replace(name, "(?<=[a-z0-9])(?=[A-Z])", "_").ToUpperInvariant();
                var value = Assert.Single(native, candidate => candidate.Name.EndsWith(suffix, StringComparison.Ordinal));
                Assert.True(value.Number == Convert.ToInt64(Enum.Parse(mirror, name)), $"{mirror.Name}.{name} is not {value.Name} ({value.Number})");
            }
        }

        [Fact]
        public void FlagsHaveTheirHeadersNumbers()
        {
            var mirrors = new (string Name, long Number)[]
            {
                ("SOCKSCOPE_TCP", (long)SocketSelection.Tcp), ("SOCKSCOPE_UDP", (long)SocketSelection.Udp),
                ("SOCKSCOPE_IPV4", (long)SocketSelection.IPv4), ("SOCKSCOPE_IPV6", (long)SocketSelection.IPv6),
                ("SOCKSCOPE_ALL", (long)SocketSelection.All), ("SOCKSCOPE_ALL_NAMESPACES", (long)SocketSelection.AllNamespaces),
                ("SOCKSCOPE_SEND_QUEUE_UNKNOWN",
                    Convert.ToInt64(typeof(SocketSnapshotReader).GetField("SOCKSCOPE_SEND_QUEUE_UNKNOWN", BindingFlags.NonPublic | BindingFlags.Static)
                        .GetRawConstantValue())),
                ("SOCKSCOPE_TCP_INFO", (long)SocketDetails.TcpInfo), ("SOCKSCOPE_TIMER", (long)SocketDetails.Timer),
                ("SOCKSCOPE_MEMORY", (long)SocketDetails.Memory),
                ("SOCKSCOPE_TCPI_TIMESTAMPS", NativeTcpInfo.TIMESTAMPS), ("SOCKSCOPE_TCPI_SACK", NativeTcpInfo.SACK),
                ("SOCKSCOPE_TCPI_WINDOW_SCALE", NativeTcpInfo.WINDOW_SCALE), ("SOCKSCOPE_TCPI_ECN", NativeTcpInfo.ECN),
                ("SOCKSCOPE_STREAM_OPENS", NativeStreamOptions.ReportOpens),
                ("SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT", NativeStreamOptions.AcceptAtSyscallExit),
                ("SOCKSCOPE_CONNECTION_PATH_CUT", NativeConnection.PathCut),
                ("POLLIN", NativePollFd.POLLIN), ("POLLNVAL", NativePollFd.POLLNVAL),
            };
            Assert.Equal(Native.Value.Constants.OrderBy(pair => pair.Key), mirrors.Select(m => KeyValuePair.Create(m.Name, m.Number)).OrderBy(pair => pair.Key));
        }
    }
}
