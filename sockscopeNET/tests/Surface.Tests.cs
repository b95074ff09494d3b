// SPDX-License-Identifier: MIT
using System;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // The public surface and the native record layout, pinned so that a
    // change to either is a deliberate one.
    public class SurfaceTests
    {
        private static readonly Assembly Wrapper = typeof(sockscopeNET).Assembly;

        private static string[] FieldsInOrder(Type type, BindingFlags flags) =>
            type.GetFields(flags | BindingFlags.DeclaredOnly)
                .OrderBy(field => field.MetadataToken)
                .Select(field => $"{field.FieldType.Name} {field.Name}")
                .ToArray();

        [Fact]
        public void AssemblyHasTheNameVersionAndPublicTypes()
        {
            Assert.Equal("sockscopeNET_x64", Wrapper.GetName().Name);
            Assert.Equal(new Version(0, 0, 0, 0), Wrapper.GetName().Version);
            Assert.Equal(
                new[] { "sockscopeNET.sockscopeNET", "sockscopeNET.statTCPROW_NET", "sockscopeNET.statUDPROW_NET" },
                Wrapper.GetExportedTypes().Select(type => type.FullName).OrderBy(name => name, StringComparer.Ordinal));
        }

        [Theory]
        [InlineData(typeof(statTCPROW_NET))]
        [InlineData(typeof(statUDPROW_NET))]
        public void RowClassesHaveTheirPublicFieldsInOrder(Type row)
        {
            Assert.Equal(typeof(object), row.BaseType);
            Assert.False(row.IsSealed);
            Assert.NotNull(row.GetConstructor(Type.EmptyTypes));
            Assert.Equal(
                new[]
                {
                    "String LocalAddr", "String RemoteAddr", "String ProcessName", "String Statestr",
                    "UInt16 LocalPort", "UInt16 RemotePort", "UInt16 Statenum", "UInt16 PID", "UInt16 size",
                    "UInt32 ProcessId",
                },
                FieldsInOrder(row, BindingFlags.Public | BindingFlags.Instance));
            Assert.Empty(row.GetProperties());
        }

        [Fact]
        public void WrapperClassMembers()
        {
            Type wrapper = typeof(sockscopeNET);
            Assert.True(typeof(IDisposable).IsAssignableFrom(wrapper));
            Assert.False(wrapper.IsSealed);
            Assert.Equal(
                new[]
                {
                    "statTCPROW_NET[] stat_row_tcp", "statUDPROW_NET[] stat_row_udp", "Boolean disposed",
                },
                FieldsInOrder(wrapper, BindingFlags.NonPublic | BindingFlags.Instance));

            string[] publicMethods = wrapper.GetMethods(BindingFlags.Public | BindingFlags.Instance | BindingFlags.DeclaredOnly)
                .Select(method => $"{method.ReturnType.Name} {method.Name}({string.Join(",", method.GetParameters().Select(p => p.ParameterType.Name + " " + p.Name))})")
                .OrderBy(text => text, StringComparer.Ordinal)
                .ToArray();
            Assert.Equal(
                new[]
                {
                    "UInt64 getProcessId(String ProcessName)",
                    "UInt64 getnetPort_gx2(String ProcessName)",
                    "Void Dispose()",
                    "statTCPROW_NET[] getstat_tcp()",
                    "statTCPROW_NET[] getstat_tcp6()",
                    "statUDPROW_NET[] getstat_udp()",
                    "statUDPROW_NET[] getstat_udp6()",
                },
                publicMethods);

            MethodInfo disposing = wrapper.GetMethod("Dispose", BindingFlags.NonPublic | BindingFlags.Instance, null, new[] { typeof(bool) }, null);
            Assert.NotNull(disposing);
            Assert.True(disposing.IsFamily && disposing.IsVirtual);
            Assert.NotNull(wrapper.GetMethod("Finalize", BindingFlags.NonPublic | BindingFlags.Instance | BindingFlags.DeclaredOnly));
        }

        [Fact]
        public void HelpersAreInternalStatic()
        {
            Type helpers = typeof(StringMarshal);
            Assert.False(helpers.IsPublic);
            foreach (string name in new[] { "chr2str", "conchr2str", "wchr2str", "std2str", "str2wchr" })
            {
                MethodInfo method = helpers.GetMethod(name, BindingFlags.NonPublic | BindingFlags.Static);
                Assert.NotNull(method);
                Assert.True(method.IsAssembly, name);
            }
        }

        [Fact]
        public unsafe void RecordMirrorsMatchTheNativeLayout()
        {
            Assert.Equal(56, sizeof(NativeTcpRow));
            Assert.Equal(32, sizeof(NativeUdpRow));
            Assert.Equal(56, Marshal.SizeOf<NativeTcpRow>());
            Assert.Equal(32, Marshal.SizeOf<NativeUdpRow>());
            Assert.Equal(48, (int)Marshal.OffsetOf<NativeTcpRow>("size"));
            Assert.Equal(24, (int)Marshal.OffsetOf<NativeUdpRow>("size"));
        }
    }
}
