// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Xunit;

namespace sockscopeNET.Tests
{
    // A caller without privilege (the probe, run as nobody with no
    // capabilities): the namespaces it can't read are counted, never
    // silently dropped, and a watch is refused with the permission
    // exception rather than giving a stream that stays empty.
    public class UnprivilegedCallerTests
    {
        [Fact]
        public void NamespacesItCantReadAreCountedAndWatchingIsRefused()
        {
            using var unreachable = new TestNamespace(); // no process is in it: only entering it reads it
            Dictionary<string, string[]> facts = Probe.Run(UnprivilegedProbe.Verb,
                "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all", "--");
            Assert.Equal("0000000000000000", facts["CapEff:"][0]);
            Assert.True(int.Parse(facts["skipped"][0]) >= 1, "skipped " + facts["skipped"][0]);
            Assert.Equal("UnauthorizedAccessException", facts["watch"][0]);
            // Root's processes are closed to it, and destroying a socket, even its own, takes CAP_NET_ADMIN.
            Assert.True(int.Parse(facts["unreadable"][0]) >= 1, "unreadable " + facts["unreadable"][0]);
            Assert.Equal("UnauthorizedAccessException", facts["kill"][0]);
        }
    }

    internal static class UnprivilegedProbe
    {
        private static string Thrown(Action action)
        {
            try
            {
                action();
                return "nothing";
            }
            catch (Exception failure)
            {
                return failure.GetType().Name;
            }
        }

        internal const string Verb = "unprivileged-probe";

        internal static int Run()
        {
            // Its effective capabilities, which must be none.
            Console.WriteLine(System.IO.File.ReadLines("/proc/self/status").Single(line => line.StartsWith("CapEff:", StringComparison.Ordinal)).Replace('\t', ' '));
            SocketTable.GetSockets(SocketSelection.AllNamespaces, out int skipped);
            Console.WriteLine("skipped " + skipped);
            Console.WriteLine("unreadable " + SocketTable.TakeSnapshot(SocketSelection.All, SocketDetails.None).UnreadableProcesses);
            Console.WriteLine("kill " + Thrown(() =>
            {
                var listener = new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
                listener.Start();
                try
                {
                    SocketTable.Kill(SocketTable.GetSockets(SocketSelection.Tcp, ((System.Net.IPEndPoint)listener.LocalEndpoint).Port).Single());
                }
                finally
                {
                    listener.Stop();
                }
            }));
            string thrown = "nothing";
            try
            {
                using var cancel = new CancellationTokenSource(TimeSpan.FromSeconds(5));
                IAsyncEnumerator<ConnectionRecord> watch = SocketTable.WatchConnections(cancel.Token).GetAsyncEnumerator();
                try
                {
                    watch.MoveNextAsync().AsTask().GetAwaiter().GetResult();
                }
                finally
                {
                    watch.DisposeAsync().AsTask().GetAwaiter().GetResult();
                }
            }
            catch (Exception failure)
            {
                thrown = failure.GetType().Name;
            }
            Console.WriteLine("watch " + thrown);
            return 0;
        }
    }
}
