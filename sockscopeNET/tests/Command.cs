// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.Linq;
using Xunit;

namespace sockscopeNET.Tests
{
    // Runs a system command (ip, stat ...) to its end, within 30 s, and
    // gives what it printed; fails the test when it fails.
    internal static class Command
    {
        internal static string Run(params string[] command)
        {
            var start = new ProcessStartInfo(command[0])
            {
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                UseShellExecute = false,
            };
            foreach (string argument in command.Skip(1)) start.ArgumentList.Add(argument);
            using Process running = Process.Start(start);
            var output = running.StandardOutput.ReadToEndAsync();
            var errors = running.StandardError.ReadToEndAsync();
            if (!running.WaitForExit(30000))
            {
                running.Kill(entireProcessTree: true);
                running.WaitForExit();
                Assert.Fail($"{string.Join(" ", command)} did not finish within 30 s");
            }
            running.WaitForExit();
            Assert.True(running.ExitCode == 0, $"{string.Join(" ", command)}: exit {running.ExitCode}\n{errors.Result}");
            return output.Result;
        }
    }
}
