// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using Xunit;

namespace sockscopeNET.Tests
{
    // Process ids above 65535: ProcessId holds the whole id, PID its low 16
    // bits. The machine's own ids may all be small (pid_max 32768), so the
    // probe runs in a private PID namespace whose next id is set to 70000.
    public class LargeProcessIdTests
    {
        private const uint FirstId = 70000;

        [LargeProcessIdFact]
        public void RowsAndLookupsCarryTheWholeId()
        {
            Dictionary<string, string[]> facts = RunProbe();
            uint child = uint.Parse(facts["child"][0]);
            Assert.True(child >= FirstId, $"the probe's child has id {child}");
            string whole = child.ToString(), low = (child & 0xFFFF).ToString();
            Assert.Equal(new[] { whole }, facts["lookup"]);
            Assert.Equal(new[] { whole, low }, facts["tcp"]);
            Assert.Equal(new[] { whole, low }, facts["udp"]);
        }

        // The shell stays the namespace's first process; the probe, its
        // child, gets the id after the one written to ns_last_pid.
        private static Dictionary<string, string[]> RunProbe() =>
            Probe.Run(LargeProcessIdProbe.Verb,
                LargeProcessIdFactAttribute.Unshare, "--pid", "--fork", "--mount-proc", "--kill-child", "--", "/bin/sh", "-c",
                $"echo {FirstId - 1} > /proc/sys/kernel/ns_last_pid && \"$@\"; status=$?; exit $status", "probe");
    }

    // Runs where a private PID namespace can be made and given ids above
    // 65535: as root, with unshare, and with a pid_max that allows them
    // (the machine's, or from Linux 6.14 on the namespace's own).
    public sealed class LargeProcessIdFactAttribute : FactAttribute
    {
        internal const string Unshare = "/usr/bin/unshare";

        public LargeProcessIdFactAttribute()
        {
            if (!IsRoot()) Skip = "needs root to make a PID namespace and set its next id";
            else if (!File.Exists(Unshare)) Skip = $"needs {Unshare} (util-linux)";
            else if (!IdsAbove16BitsPossible()) Skip = "pid_max is below 70001 and this kernel has no per-namespace pid_max";
        }

        private static bool IsRoot() =>
            File.ReadLines("/proc/self/status")
                .Where(line => line.StartsWith("Uid:", StringComparison.Ordinal))
                .Select(line => line.Split('\t', StringSplitOptions.RemoveEmptyEntries)[2])
                .FirstOrDefault() == "0";

        private static bool IdsAbove16BitsPossible()
        {
            if (long.Parse(File.ReadAllText("/proc/sys/kernel/pid_max").Trim()) > 70000) return true;
            Version kernel = Environment.OSVersion.Version;
            return kernel >= new Version(6, 14);
        }
    }

    // Inside the namespace: a child with a listener and a UDP socket, and
    // what the wrapper says about it, as "name value..." lines.
    internal static class LargeProcessIdProbe
    {
        internal const string Verb = "large-pid-probe";

        internal static int Run()
        {
            using var child = new TestChild("tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1");
            using var tables = new sockscopeNET();
            statTCPROW_NET tcp = tables.getstat_tcp()
                .FirstOrDefault(r => r.LocalAddr == "127.0.0.1" && r.LocalPort == child.Ports[0] && r.Statestr == "LISTEN");
            statUDPROW_NET udp = tables.getstat_udp()
                .FirstOrDefault(r => r.LocalAddr == "127.0.0.1" && r.LocalPort == child.Ports[1]);
            Console.WriteLine($"child {child.Id}");
            Console.WriteLine($"lookup {tables.getProcessId(child.Name)}");
            Console.WriteLine(tcp == null ? "tcp missing" : $"tcp {tcp.ProcessId} {tcp.PID}");
            Console.WriteLine(udp == null ? "udp missing" : $"udp {udp.ProcessId} {udp.PID}");
            return 0;
        }
    }
}
