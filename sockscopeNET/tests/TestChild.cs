// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;

namespace sockscopeNET.Tests
{
    // A copy of the native test child program under a name the test chooses,
    // listening where it is told; killed and reaped, and its copy deleted, on
    // Dispose.
    internal sealed class TestChild : IDisposable
    {
        private readonly string folder = Directory.CreateTempSubdirectory("sockscopeNET-test-").FullName;
        private readonly Process process;

        internal string Name { get; }
        internal List<ushort> Ports { get; } = new List<ushort>();

        internal TestChild(params string[] arguments)
        {
            Name = "ssnet" + Environment.ProcessId + "x" + Guid.NewGuid().ToString("N").Substring(0, 6);
            var start = new ProcessStartInfo(Path.Combine(folder, Name))
            {
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                UseShellExecute = false,
            };
            foreach (string argument in arguments) start.ArgumentList.Add(argument);
            try
            {
                File.Copy(ProgramPath(), start.FileName);
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

        // Built by the native build; the test command passes its path.
        private static string ProgramPath()
        {
            string path = Environment.GetEnvironmentVariable("SOCKSCOPE_TEST_CHILD");
            if (string.IsNullOrEmpty(path))
                path = Path.GetFullPath(Path.Combine(AppContext.BaseDirectory, "../../../../../build/tests/test_programs/sockscope_test_child"));
            if (!File.Exists(path)) throw new FileNotFoundException("native test child not built", path);
            return path;
        }
    }
}
