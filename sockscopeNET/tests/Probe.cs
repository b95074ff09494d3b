// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using Xunit;

namespace sockscopeNET.Tests
{
    // Runs this assembly as a program of its own (Program.Main) for a test
    // that can't run inside the test host, and reads what it prints:
    // "name value..." lines.
    internal static class Probe
    {
        // `before` is a command that runs the probe in turn (it ends with the
        // probe's own command line appended).
        internal static Dictionary<string, string[]> Run(string verb, params string[] before) =>
            RunWithin(TimeSpan.FromSeconds(60), verb, before);

        // As Run, failing when the probe has not finished within `limit`.
        internal static Dictionary<string, string[]> RunWithin(TimeSpan limit, string verb, params string[] before)
        {
            string dotnet = Environment.ProcessPath;
            Assert.Equal("dotnet", Path.GetFileName(dotnet));
            string[] command = before.Concat(new[] { dotnet, typeof(Probe).Assembly.Location, verb }).ToArray();
            var start = new ProcessStartInfo(command[0])
            {
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                UseShellExecute = false,
            };
            foreach (string argument in command.Skip(1)) start.ArgumentList.Add(argument);
            using Process probe = Process.Start(start);
            var output = probe.StandardOutput.ReadToEndAsync();
            var errors = probe.StandardError.ReadToEndAsync();
            if (!probe.WaitForExit((int)limit.TotalMilliseconds))
            {
                probe.Kill(entireProcessTree: true);
                probe.WaitForExit();
                Assert.Fail($"the probe did not finish within {limit.TotalSeconds} s");
            }
            probe.WaitForExit();
            string report = $"exit {probe.ExitCode}\n{output.Result}\n{errors.Result}";
            Assert.True(probe.ExitCode == 0, report);
            return output.Result.Split('\n', StringSplitOptions.RemoveEmptyEntries)
                .Select(line => line.Split(' '))
                .ToDictionary(words => words[0], words => words.Skip(1).ToArray());
        }
    }
}
