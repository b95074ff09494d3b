// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Text;
using sockscopeNET;

// Exits 0 and prints "net472 check passed" when the listeners this process
// opens show up through the wrapper class and through SocketTable, and a
// connection's details and Kill work; prints
// what failed and exits 1 otherwise. With the probe's verb, runs
// CollectionsProbe instead.
internal static class Program
{
    private static int Main(string[] args)
    {
        if (args.Length == 1 && args[0] == CollectionsProbe.Verb) return CollectionsProbe.Run();
        string failure = SocketTableCheck();
        if (failure != null) return Fail(failure);
        // The connection stream is the .NET 8 build's alone.
        if (typeof(SocketTable).GetMethod("WatchConnections") != null) return Fail("the net472 build has WatchConnections");

        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        int port = ((IPEndPoint)listener.LocalEndpoint).Port;
        int pid = Process.GetCurrentProcess().Id;
        try
        {
            using (var tables = new sockscopeNET.sockscopeNET())
            {
                statTCPROW_NET found = null;
                foreach (statTCPROW_NET row in tables.getstat_tcp())
                    if (row.LocalPort == port && row.Statestr == "LISTEN") found = row;
                if (found == null) return Fail("listener on port " + port + " not in the TCP table");
                if (found.ProcessId != (uint)pid) return Fail("listener owned by " + found.ProcessId + ", not " + pid);
                if (found.PID != unchecked((ushort)pid)) return Fail("PID " + found.PID + " is not the low 16 bits of " + pid);
                if (string.IsNullOrEmpty(found.ProcessName)) return Fail("listener has no process name");
                tables.getstat_udp();
                if (tables.getProcessId(found.ProcessName) == 0) return Fail("getProcessId found nothing for " + found.ProcessName);
                tables.getnetPort_gx2(found.ProcessName);
                Console.WriteLine("net472 check passed: " + found.LocalAddr + " " + found.LocalPort + " " + found.ProcessName + " " + found.Statestr);
                return 0;
            }
        }
        finally
        {
            listener.Stop();
        }
    }

    // SocketTable through Mono's P/Invoke: a listener on 127.0.0.1 and a
    // dual-stack one, each with this process among its owners.
    private static string SocketTableCheck()
    {
        var loopback = new TcpListener(IPAddress.Loopback, 0);
        var dual = new TcpListener(IPAddress.IPv6Any, 0);
        dual.Server.DualMode = true;
        loopback.Start();
        dual.Start();
        try
        {
            int pid = Process.GetCurrentProcess().Id;
            IReadOnlyList<SocketEntry> sockets = SocketTable.GetSockets(SocketSelection.Tcp);
            foreach (TcpListener listener in new[] { loopback, dual })
            {
                var local = (IPEndPoint)listener.LocalEndpoint;
                SocketEntry entry = sockets.FirstOrDefault(e => e.LocalEndPoint.Equals(local) && e.State == TcpState.Listen);
                if (entry == null) return "SocketTable lacks the listener on " + local;
                if (entry.IsDualStack != (listener == dual)) return local + " has IsDualStack " + entry.IsDualStack;
                SocketOwner owner = entry.Owners.FirstOrDefault(o => o.ProcessId == pid);
                if (owner == null || owner.FileDescriptor < 0 || string.IsNullOrEmpty(owner.ProcessName))
                    return local + " is not held by this process (" + pid + ")";
                Console.WriteLine("SocketTable: " + entry.LocalEndPoint + " " + entry.State + " " + owner.ProcessId + "/" + owner.FileDescriptor + " " + owner.ProcessName);
            }
            return AllNamespacesCheck((IPEndPoint)loopback.LocalEndpoint, pid) ?? DetailsAndKillCheck(loopback);
        }
        finally
        {
            loopback.Stop();
            dual.Stop();
        }
    }

    // Every namespace at once: the listener is in this process's network
    // namespace, and its owner in this process's cgroup.
    private static string AllNamespacesCheck(IPEndPoint local, int pid)
    {
        int skipped;
        IReadOnlyList<SocketEntry> sockets = SocketTable.GetSockets(SocketSelection.Tcp | SocketSelection.AllNamespaces, out skipped, local.Port);
        ulong ownNamespace = ulong.Parse(LinkTarget("/proc/self/ns/net").Split('[', ']')[1]);
        SocketEntry entry = sockets.FirstOrDefault(e => e.LocalEndPoint.Equals(local) && e.NetworkNamespace == ownNamespace);
        if (entry == null) return "SocketTable with AllNamespaces lacks the listener on " + local + " in namespace " + ownNamespace;
        string cgroup = File.ReadAllLines("/proc/self/cgroup").Single(line => line.StartsWith("0::", StringComparison.Ordinal)).Substring(3);
        SocketOwner owner = entry.Owners.FirstOrDefault(o => o.ProcessId == pid);
        if (owner == null || owner.Cgroup != cgroup) return local + " is not held by this process in cgroup " + cgroup;
        Console.WriteLine("SocketTable, every namespace: " + entry.LocalEndPoint + " in net:[" + entry.NetworkNamespace + "] " +
                          (entry.NetworkNamespaceName ?? "(no name)") + ", " + skipped + " skipped; owner's cgroup " + owner.Cgroup);
        return null;
    }

    // A connection to the listener with its details, then destroyed: its
    // own calls fail afterwards, and a second Kill finds it gone.
    private static string DetailsAndKillCheck(TcpListener listener)
    {
        using (var client = new TcpClient(AddressFamily.InterNetwork))
        {
            var server = (IPEndPoint)listener.LocalEndpoint;
            client.Connect(server);
            using (TcpClient accepted = listener.AcceptTcpClient())
            {
                SocketSnapshot snapshot = SocketTable.TakeSnapshot(SocketSelection.Tcp | SocketSelection.IPv4,
                    SocketDetails.TcpInfo | SocketDetails.Timer | SocketDetails.Memory, server.Port);
                SocketEntry entry = snapshot.Sockets.FirstOrDefault(e => e.LocalEndPoint.Equals(client.Client.LocalEndPoint));
                if (entry == null) return "TakeSnapshot lacks the connection from " + client.Client.LocalEndPoint;
                if (entry.TcpInfo == null || entry.TcpInfo.RoundTripTime <= TimeSpan.Zero || entry.TcpInfo.SendMss <= 0 ||
                    entry.Timer == null || entry.Memory == null || entry.Memory.SendBuffer <= 0)
                    return "the connection's details are missing or wrong";
                if (!SocketTable.Kill(entry)) return "Kill did not find the connection";
                if (SocketTable.Kill(entry)) return "Kill destroyed the connection twice";
                Console.WriteLine("SocketTable details: rtt " + entry.TcpInfo.RoundTripTime.TotalMilliseconds + " ms, " +
                                  entry.TcpInfo.Congestion + ", timer " + entry.Timer.Kind + "; killed");
                return null;
            }
        }
    }

    [DllImport("libc", SetLastError = true)]
    private static extern long readlink(string path, byte[] buffer, ulong size);

    private static string LinkTarget(string path)
    {
        var buffer = new byte[256];
        long length = readlink(path, buffer, (ulong)buffer.Length);
        if (length < 0) throw new IOException("readlink " + path + ": errno " + Marshal.GetLastWin32Error());
        return Encoding.UTF8.GetString(buffer, 0, (int)length);
    }

    private static int Fail(string message)
    {
        Console.WriteLine("net472 check failed: " + message);
        return 1;
    }
}
