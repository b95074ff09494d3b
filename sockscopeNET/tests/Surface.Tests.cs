// SPDX-License-Identifier: MIT
using System;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using Xunit;

namespace sockscopeNET.Tests
{
    // The public surface that callers compile against, and the native record
    // layout, pinned so that a change to either is a deliberate one. Only
    // what a caller can see or derive from is pinned, never internal names.
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
                new[] { "sockscopeNET.sockscopeNET", "sockscopeNET.statTCPROW_NET", "sockscopeNET.statUDPROW_NET" },
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

        // The native half's records, mirrored field for field; the native
        // source checks the same sizes with static_assert.
        [Fact]
        public void RecordMirrorsMatchTheNativeLayout()
        {
            Assert.Equal(56, Marshal.SizeOf<NativeTcpRow>());
            Assert.Equal(
                new[] { 0, 8, 16, 24, 32, 36, 40, 44, 48 },
                new[] { "LocalAddr", "RemoteAddr", "ProcessName", "Statestr", "LocalPort", "RemotePort", "PID", "Statenum", "size" }
                    .Select(field => (int)Marshal.OffsetOf<NativeTcpRow>(field)));
            Assert.Equal(32, Marshal.SizeOf<NativeUdpRow>());
            Assert.Equal(
                new[] { 0, 8, 16, 20, 24 },
                new[] { "LocalAddr", "ProcessName", "LocalPort", "PID", "size" }
                    .Select(field => (int)Marshal.OffsetOf<NativeUdpRow>(field)));
        }
    }
}
