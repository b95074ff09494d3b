// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Linq;
using Xunit;

namespace sockscopeNET.Tests
{
    // A caller without privilege (the probe, run as nobody with no
    // capabilities): the namespaces it can't read are counted, never
    // silently dropped.
    public class UnprivilegedCallerTests
    {
        [Fact]
        public void NamespacesItCantReadAreCounted()
        {
            using var unreachable = new TestNamespace(); // no process is in it: only entering it reads it
            Dictionary<string, string[]> facts = Probe.Run(UnprivilegedProbe.Verb,
                "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all", "--");
            Assert.Equal("0000000000000000", facts["CapEff:"][0]);
            Assert.True(int.Parse(facts["skipped"][0]) >= 1, "skipped " + facts["skipped"][0]);
        }
    }

    internal static class UnprivilegedProbe
    {
        internal const string Verb = "unprivileged-probe";

        internal static int Run()
        {
            // Its effective capabilities, which must be none.
            Console.WriteLine(System.IO.File.ReadLines("/proc/self/status").Single(line => line.StartsWith("CapEff:", StringComparison.Ordinal)).Replace('\t', ' '));
            SocketTable.GetSockets(SocketSelection.AllNamespaces, out int skipped);
            Console.WriteLine("skipped " + skipped);
            return 0;
        }
    }
}
