// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;

namespace sockscopeNET.Tests
{
    // The native programs the tests start under names of their choosing.
    internal enum TestProgram
    {
        // Listens or connects where it is told (tests/support/test_child.cpp).
        Child,

        // Serves or makes connections, many at a time
        // (tests/support/connection_peer.cpp).
        ConnectionPeer,
    }

    // A copy of a native test program under a name the test chooses, doing
    // what its arguments say; the ports it prints are in Ports. Killed and
    // reaped, and its copy deleted, on Dispose.
    internal sealed class TestChild : IDisposable
    {
        private readonly string folder = Directory.CreateTempSubdirectory("sockscopeNET-test-").FullName;
        private readonly Process process;

        internal string Name { get; }
        internal List<ushort> Ports { get; } = new List<ushort>();

        internal TestChild(params string[] arguments) : this(TestProgram.Child, new string[0], arguments)
        {
        }

        // `launcher` is a command that runs the program in turn by exec, so
        // that its process id stays the program's ("ip netns exec NAME").
        internal TestChild(TestProgram program, string[] launcher, params string[] arguments)
        {
            // Longer than the kernel's 15-byte comm whatever the process id
            // (ids wrap: a small one is as likely as a large one).
            Name = "ssnet" + Environment.ProcessId.ToString("D7") + "x" + Guid.NewGuid().ToString("N").Substring(0, 6);
            string copy = Path.Combine(folder, Name);
            var start = new ProcessStartInfo(launcher.Length > 0 ? launcher[0] : copy)
            {
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                UseShellExecute = false,
            };
            foreach (string argument in launcher.Skip(1)) start.ArgumentList.Add(argument);
            if (launcher.Length > 0) start.ArgumentList.Add(copy);
            foreach (string argument in arguments) start.ArgumentList.Add(argument);
            try
            {
                File.Copy(ProgramPath(program), copy);
                process = Process.Start(start);
            }
            catch
            {
                Directory.Delete(folder, recursive: true);
                throw;
            }
            var reading = process.StandardOutput.ReadLineAsync();
            for (;;)
            {
                if (!reading.Wait(TimeSpan.FromSeconds(10)) || reading.Result == null)
                {
                    Dispose();
                    throw new InvalidOperationException("test child did not start");
                }
                if (reading.Result == "ready") break;
                Ports.Add(ushort.Parse(reading.Result));
                reading = process.StandardOutput.ReadLineAsync();
            }
        }

        internal int Id => process.Id;

        public void Dispose()
        {
            try { process.Kill(); } catch (InvalidOperationException) { }
            process.WaitForExit(5000);
            process.Dispose();
            Directory.Delete(folder, recursive: true);
        }

        // Built by the native build; the test command passes their paths,
        // else they are looked for in build/tests/test_programs/.
        private static string ProgramPath(TestProgram program)
        {
            (string variable, string file) = program == TestProgram.Child
                ? ("SOCKSCOPE_TEST_CHILD", "sockscope_test_child")
                : ("SOCKSCOPE_CONNECTION_PEER", "sockscope_connection_peer");
            string path = Environment.GetEnvironmentVariable(variable);
            if (string.IsNullOrEmpty(path))
                path = Path.GetFullPath(Path.Combine(AppContext.BaseDirectory, "../../../../../build/tests/test_programs", file));
            if (!File.Exists(path)) throw new FileNotFoundException($"native test program {file} not built", path);
            return path;
        }
    }
}
