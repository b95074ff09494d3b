// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using Xunit;

namespace sockscopeNET.Tests
{
    // SocketSelection.AllNamespaces on namespaces and a cgroup the test makes.
    // Alone: a process another test starts holds this one's sockets until
    // it runs its program, and would be an owner of them meanwhile.
    [Collection("alone")]
    public class AllNamespacesTests
    {
        // One port, two named namespaces: in the first a named child in a
        // container's cgroup listens, in the second this process, from
        // outside. Each is its own entry, with its namespace, and its owner
        // with cgroup and container; without the flag, only this process's
        // namespace is read.
        [Fact]
        public void SamePortInTwoNamespacesEachWithItsNamespaceOwnerAndContainer()
        {
            using var cgroup = new TestCgroup();
            using var first = new TestNamespace();
            using var second = new TestNamespace();
            using var child = new TestChild(TestProgram.Child, first.Launcher, "tcp-listen", "127.0.0.1");
            cgroup.Add(child.Id);
            int port = child.Ports[0];
            using Socket own = second.Listen(port);
            var listening = new IPEndPoint(IPAddress.Loopback, port);
            using var atHome = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
            atHome.Bind(new IPEndPoint(IPAddress.Loopback, 0));
            atHome.Listen();
            int homePort = ((IPEndPoint)atHome.LocalEndPoint).Port;

            IReadOnlyList<SocketEntry> all = SocketTable.GetSockets(
                SocketSelection.Tcp | SocketSelection.IPv4 | SocketSelection.AllNamespaces, out int skipped, port, homePort);
            Assert.Equal(0, skipped); // root reads every namespace from inside
            SocketEntry[] ours = all.Where(e => e.LocalEndPoint.Equals(listening) && e.State == TcpState.Listen &&
                                                (e.NetworkNamespace == first.Inode || e.NetworkNamespace == second.Inode)).ToArray();
            Assert.Equal(2, ours.Length);

            SocketEntry inFirst = Assert.Single(ours, e => e.NetworkNamespace == first.Inode);
            Assert.Equal(first.Name, inFirst.NetworkNamespaceName);
            SocketOwner named = Assert.Single(inFirst.Owners);
            Assert.Equal((child.Id, child.Name), (named.ProcessId, named.ProcessName));
            Assert.Equal(cgroup.Path, named.Cgroup);
            Assert.Equal(cgroup.ContainerId, named.ContainerId);

            SocketEntry inSecond = Assert.Single(ours, e => e.NetworkNamespace == second.Inode);
            Assert.Equal(second.Name, inSecond.NetworkNamespaceName);
            SocketOwner self = Assert.Single(inSecond.Owners);
            Assert.Equal(Environment.ProcessId, self.ProcessId);
            Assert.Equal(TestCgroup.Of("self"), self.Cgroup);

            // This process's namespace is among them, and alone without the flag.
            ulong home = TestNamespace.Of("self");
            ulong cookie = SocketTableTests.Cookie(atHome);
            Assert.Equal(home, Assert.Single(all, e => e.Cookie == cookie).NetworkNamespace);
            IReadOnlyList<SocketEntry> homeOnly = SocketTable.GetSockets(SocketSelection.Tcp | SocketSelection.IPv4, out skipped, port, homePort);
            Assert.Equal(0, skipped);
            Assert.All(homeOnly, e => Assert.Equal(home, e.NetworkNamespace));
            Assert.Single(homeOnly, e => e.Cookie == cookie);
        }
    }
}
