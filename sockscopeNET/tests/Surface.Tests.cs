// SPDX-License-Identifier: MIT
using System;
using System.Linq;
using System.Reflection;
using Xunit;

namespace sockscopeNET.Tests
{
    // The public surface that callers compile against, pinned so that a
    // change to it is a deliberate one. Only what a caller can see or derive
    // from is pinned, never internal names. (The native structures' mirrors
    // are checked against the headers in NativeLayout.Tests.cs.)
    public class SurfaceTests
    {
        private static readonly Assembly Wrapper = typeof(sockscopeNET).Assembly;

        private const BindingFlags Declared =
            BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance | BindingFlags.Static | BindingFlags.DeclaredOnly;

        // Every member that a caller or a derived class can reach, one line
        // each, sorted: access, modifiers, type, name and parameters.
        private static string[] CallerVisibleMembers(Type type) =>
            type.GetMembers(Declared)
                .Select(Describe)
                .Where(line => line != null)
                .OrderBy(line => line, StringComparer.Ordinal)
                .ToArray();

        private static string Describe(MemberInfo member)
        {
            switch (member)
            {
                case MethodBase method when method.IsSpecialName && !method.IsConstructor:
                    return null; // accessors show as their property or event
                case MethodBase method:
                    string access = Access(method.IsPublic, method.IsFamily || method.IsFamilyOrAssembly);
                    if (access == null) return null;
                    string parameters = string.Join(", ", method.GetParameters().Select(p => $"{p.ParameterType.Name} {p.Name}"));
                    if (method is ConstructorInfo) return $"{access}{(method.IsStatic ? " static" : "")} .ctor({parameters})";
                    var info = (MethodInfo)method;
                    return $"{access}{Modifiers(info)} {info.ReturnType.Name} {info.Name}({parameters})";
                case FieldInfo field:
                    access = Access(field.IsPublic, field.IsFamily || field.IsFamilyOrAssembly);
                    return access == null ? null : $"{access}{(field.IsStatic ? " static" : "")} {field.FieldType.Name} {field.Name}";
                case PropertyInfo property:
                    return property.GetAccessors(false).Length > 0 ? $"property {property.PropertyType.Name} {property.Name}" : null;
                case EventInfo @event:
                    return @event.AddMethod.IsPublic ? $"event {@event.EventHandlerType.Name} {@event.Name}" : null;
                case Type nested:
                    return nested.IsNestedPublic || nested.IsNestedFamily ? $"nested {nested.Name}" : null;
                default:
                    return $"{member.MemberType} {member.Name}";
            }
        }

        private static string Access(bool isPublic, bool isProtected) =>
            isPublic ? "public" : isProtected ? "protected" : null;

        private static string Modifiers(MethodInfo method)
        {
            if (method.IsStatic) return " static";
            if (!method.IsVirtual || method.IsFinal) return ""; // an interface's sealed implementation is not overridable
            return method.GetBaseDefinition() != method ? " override" : " virtual";
        }

        [Fact]
        public void AssemblyHasTheNameVersionAndPublicTypes()
        {
            Assert.Equal("sockscopeNET_x64", Wrapper.GetName().Name);
            Assert.Equal(new Version(0, 0, 0, 0), Wrapper.GetName().Version);
            Assert.Equal(
                new[]
                {
                    "sockscopeNET.ConnectionEnd", "sockscopeNET.ConnectionKind", "sockscopeNET.ConnectionOwnerSource",
                    "sockscopeNET.ConnectionRecord", "sockscopeNET.ConnectionSide", "sockscopeNET.ConnectionWatchOptions",
                    "sockscopeNET.SocketDetails", "sockscopeNET.SocketEntry", "sockscopeNET.SocketMemory", "sockscopeNET.SocketOwner",
                    "sockscopeNET.SocketSelection", "sockscopeNET.SocketSnapshot", "sockscopeNET.SocketTable", "sockscopeNET.SocketTcpInfo",
                    "sockscopeNET.SocketTimer", "sockscopeNET.SocketTimerKind",
                    "sockscopeNET.sockscopeNET", "sockscopeNET.statTCPROW_NET", "sockscopeNET.statUDPROW_NET",
                },
                Wrapper.GetExportedTypes().Select(type => type.FullName).OrderBy(name => name, StringComparer.Ordinal));
        }

        [Theory]
        [InlineData(typeof(statTCPROW_NET))]
        [InlineData(typeof(statUDPROW_NET))]
        public void RowClassesAreFieldsInOrder(Type row)
        {
            Assert.True(row.IsClass && !row.IsSealed && !row.IsAbstract);
            Assert.Equal(typeof(object), row.BaseType);
            Assert.Empty(row.GetInterfaces());
            string[] fields =
            {
                "String LocalAddr", "String RemoteAddr", "String ProcessName", "String Statestr",
                "UInt16 LocalPort", "UInt16 RemotePort", "UInt16 Statenum", "UInt16 PID", "UInt16 size",
                "UInt32 ProcessId",
            };
            Assert.Equal(
                fields,
                row.GetFields(BindingFlags.Public | BindingFlags.Instance | BindingFlags.DeclaredOnly)
                    .OrderBy(field => field.MetadataToken)
                    .Select(field => $"{field.FieldType.Name} {field.Name}"));
            Assert.Equal(
                fields.Select(field => "public " + field).Append("public .ctor()").OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(row));
        }

        [Fact]
        public void WrapperClassMembers()
        {
            Type wrapper = typeof(sockscopeNET);
            Assert.True(wrapper.IsClass && !wrapper.IsSealed && !wrapper.IsAbstract);
            Assert.Equal(typeof(object), wrapper.BaseType);
            Assert.Equal(new[] { typeof(IDisposable) }, wrapper.GetInterfaces());
            Assert.Equal(
                new[]
                {
                    "protected override Void Finalize()",
                    "protected virtual Void Dispose(Boolean disposing)",
                    "public .ctor()",
                    "public UInt64 getProcessId(String ProcessName)",
                    "public UInt64 getnetPort_gx2(String ProcessName)",
                    "public Void Dispose()",
                    "public statTCPROW_NET[] getstat_tcp()",
                    "public statTCPROW_NET[] getstat_tcp6()",
                    "public statUDPROW_NET[] getstat_udp()",
                    "public statUDPROW_NET[] getstat_udp6()",
                },
                CallerVisibleMembers(wrapper));
        }

        // SocketTable's types: sealed, no public constructor, get-only
        // properties, so that later versions can add to them.
        [Fact]
        public void SocketTableTypesMembers()
        {
            Assert.True(typeof(SocketTable).IsAbstract && typeof(SocketTable).IsSealed); // static
            Assert.Equal(
                new[]
                {
                    "public static IAsyncEnumerable`1 WatchConnections(CancellationToken cancellationToken)",
                    "public static IAsyncEnumerable`1 WatchConnections(ConnectionWatchOptions options, CancellationToken cancellationToken)",
                    "public static IReadOnlyList`1 GetSockets(SocketSelection selection)",
                    "public static IReadOnlyList`1 GetSockets(SocketSelection selection, Int32& skippedNamespaces, Int32[] ports)",
                    "public static IReadOnlyList`1 GetSockets(SocketSelection selection, Int32[] ports)",
                    "public static Boolean Kill(SocketEntry socket)",
                    "public static SocketSnapshot TakeSnapshot(SocketSelection selection, SocketDetails details, Int32[] ports)",
                }.OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(typeof(SocketTable)));
            Assert.Equal(
                new[] { "Tcp = 1", "Udp = 2", "IPv4 = 4", "IPv6 = 8", "All = 15", "AllNamespaces = 16" },
                Enum.GetValues(typeof(SocketSelection)).Cast<SocketSelection>().Select(value => $"{value} = {(int)value}"));
            Assert.True(typeof(SocketSelection).IsDefined(typeof(FlagsAttribute), false));
            Assert.Equal(
                new[]
                {
                    "property Boolean IsDualStack", "property Boolean IsSendQueueKnown", "property IPEndPoint LocalEndPoint",
                    "property IPEndPoint RemoteEndPoint",
                    "property IReadOnlyList`1 Owners", "property Int32 ReceiveQueue", "property Int32 SendQueue",
                    "property Int32 UserId", "property ProtocolType Protocol", "property String NetworkNamespaceName",
                    "property TcpState State", "property UInt64 Cookie", "property UInt64 Inode", "property UInt64 NetworkNamespace",
                    "property SocketTcpInfo TcpInfo", "property SocketTimer Timer", "property SocketMemory Memory",
                }.OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(typeof(SocketEntry)));
            Assert.Equal(
                new[]
                {
                    "property Int32 FileDescriptor", "property Int32 ProcessId", "property Nullable`1 ContainerUserId",
                    "property String Cgroup", "property String ContainerId", "property String ProcessName",
                    "property String UserContainerId",
                },
                CallerVisibleMembers(typeof(SocketOwner)));
            Assert.Equal(
                new[] { "property Int32 SkippedNamespaces", "property Int32 UnreadableProcesses", "property IReadOnlyList`1 Sockets" }
                    .OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(typeof(SocketSnapshot)));
            Assert.Equal(
                new[] { "property Int32 Retransmits", "property SocketTimerKind Kind", "property TimeSpan Expires" },
                CallerVisibleMembers(typeof(SocketTimer)));
            Assert.Equal(9, CallerVisibleMembers(typeof(SocketMemory)).Count(line => line.StartsWith("property Int32 ", StringComparison.Ordinal)));
            Assert.Equal(CallerVisibleMembers(typeof(SocketMemory)).Length, typeof(SocketMemory).GetProperties().Length);
            // Every time a TimeSpan, every count an int or long, the window scales nullable.
            Assert.All(CallerVisibleMembers(typeof(SocketTcpInfo)), line =>
                Assert.Matches(@"^property (TimeSpan \w+(Time|Timeout|Variance|Sent|Received)|Int32 \w+|Int64 \w+|Boolean (Has|Is)\w+|String Congestion|Nullable`1 \w+WindowScale)$", line));
            Assert.Equal(new[] { "None = 0", "TcpInfo = 1", "Timer = 2", "Memory = 4" }, Values<SocketDetails>());
            Assert.True(typeof(SocketDetails).IsDefined(typeof(FlagsAttribute), false));
            Assert.Equal(new[] { "Off = 0", "Retransmit = 1", "Keepalive = 2", "TimeWait = 3", "Probe = 4" }, Values<SocketTimerKind>());
            foreach (Type type in new[] { typeof(SocketEntry), typeof(SocketOwner), typeof(SocketSnapshot), typeof(SocketTcpInfo), typeof(SocketTimer), typeof(SocketMemory) })
            {
                Assert.True(type.IsSealed);
                Assert.All(type.GetProperties(), property => Assert.Null(property.SetMethod));
            }
        }

        // The connection stream's types (the .NET 8 build's): a sealed record
        // with get-only properties, options to set, and the native enums'
        // values.
        [Fact]
        public void ConnectionWatchTypesMembers()
        {
            Assert.True(typeof(ConnectionRecord).IsSealed);
            Assert.Empty(typeof(ConnectionRecord).GetConstructors());
            Assert.All(typeof(ConnectionRecord).GetProperties(), property => Assert.Null(property.GetSetMethod()));
            Assert.Equal(
                new[]
                {
                    "property AddressFamily AddressFamily", "property ConnectionEnd End", "property ConnectionKind Kind",
                    "property ConnectionOwnerSource OwnerSource", "property ConnectionSide Side", "property IPEndPoint LocalEndPoint",
                    "property IPEndPoint RemoteEndPoint", "property IReadOnlyList`1 States", "property Int32 CloserProcessId",
                    "property Int32 Error", "property Int32 ProcessId", "property Int64 LostBefore", "property Nullable`1 ClosedAt",
                    "property Nullable`1 Lifetime", "property Nullable`1 OpenedAt", "property ProtocolType Protocol",
                    "property String Cgroup", "property String Comm", "property String ContainerId", "property String NetworkNamespaceName",
                    "property String ProcessName", "property UInt64 BytesReceived", "property UInt64 BytesSent", "property UInt64 Cookie",
                    "property UInt64 NetworkNamespace", "property Boolean StatesIncomplete", "property String UserContainerId",
                    "property Nullable`1 ContainerUserId",
                }.OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(typeof(ConnectionRecord)));
            Assert.True(typeof(ConnectionWatchOptions).IsSealed);
            Assert.Equal(
                new[]
                {
                    "property Action`1 RecordsLostCallback", "property Boolean ExactAccepts", "property Boolean IncludeOpens",
                    "property Int32 TrackedSockets",
                    "property Int64 BufferBytes", "public .ctor()", "public static Int32 MaxTrackedSockets",
                    "public static Int64 MaxBufferBytes",
                }.OrderBy(line => line, StringComparer.Ordinal),
                CallerVisibleMembers(typeof(ConnectionWatchOptions)));
            Assert.Equal(new[] { "Opened = 1", "Closed = 2" }, Values<ConnectionKind>());
            Assert.Equal(new[] { "Unknown = 0", "Connect = 1", "Accept = 2", "Listen = 3" }, Values<ConnectionSide>());
            Assert.Equal(
                new[] { "Unknown = 0", "Connect = 1", "Listen = 2", "Accept = 3", "Snapshot = 4", "Close = 5", "FirstCall = 6", "Listener = 7" },
                Values<ConnectionOwnerSource>());
            Assert.Equal(
                new[]
                {
                    "Open = 0", "Normal = 1", "ResetSent = 2", "ResetReceived = 3", "Refused = 4", "TimedOut = 5", "Failed = 6",
                    "Abandoned = 7",
                },
                Values<ConnectionEnd>());
        }

        private static string[] Values<T>() where T : struct, Enum =>
            Enum.GetValues<T>().Select(value => $"{value} = {Convert.ToInt32(value)}").ToArray();
    }
}
