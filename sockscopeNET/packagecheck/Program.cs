// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Net.NetworkInformation;
using System.Net.Sockets;
using System.Reflection;
using System.Runtime.Versioning;
#if NET8_0_OR_GREATER
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;
#endif
using sockscopeNET;

// Prints which build of the wrapper it loaded, a few rows of each table, a
// lookup and its listener as SocketTable sees it (and on .NET, a connection
// to it as WatchConnections tells it); exits 0 when its own listener shows
// with its owner through both interfaces (and the connection with its
// owner), 1 otherwise.
internal static class Program
{
    private static int Main()
    {
        var wrapper = typeof(sockscopeNET.sockscopeNET).Assembly;
        Console.WriteLine("wrapper built for " + wrapper.GetCustomAttribute<TargetFrameworkAttribute>().FrameworkName);
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        try
        {
            int port = ((IPEndPoint)listener.LocalEndpoint).Port;
            int pid = Process.GetCurrentProcess().Id;
            using (var tables = new sockscopeNET.sockscopeNET())
            {
                statTCPROW_NET[] tcp = tables.getstat_tcp();
                statUDPROW_NET[] udp = tables.getstat_udp();
                Console.WriteLine(tcp.Length + " TCP rows, " + udp.Length + " UDP rows; the first of each:");
                foreach (statTCPROW_NET row in tcp.Take(3))
                    Console.WriteLine($"  {row.LocalAddr}:{row.LocalPort} {row.RemoteAddr}:{row.RemotePort} {row.Statestr} {row.ProcessId} {row.ProcessName}");
                foreach (statUDPROW_NET row in udp.Take(3))
                    Console.WriteLine($"  {row.LocalAddr}:{row.LocalPort} {row.ProcessId} {row.ProcessName}");
                statTCPROW_NET ours = tcp.FirstOrDefault(row => row.LocalPort == port && row.Statestr == "LISTEN");
                if (ours == null) return Fail("listener on port " + port + " not in the TCP table");
                Console.WriteLine($"own listener: {ours.LocalAddr}:{ours.LocalPort} {ours.Statestr} {ours.ProcessId} {ours.ProcessName}");
                if (ours.ProcessId != (uint)pid) return Fail("listener owned by " + ours.ProcessId + ", not " + pid);
                ulong id = tables.getProcessId(ours.ProcessName);
                Console.WriteLine($"getProcessId(\"{ours.ProcessName}\") = {id}");
                if (id == 0) return Fail("getProcessId found no " + ours.ProcessName);
                SocketEntry entry = SocketTable.GetSockets(SocketSelection.Tcp | SocketSelection.IPv4)
                    .FirstOrDefault(e => e.LocalEndPoint.Port == port && e.State == TcpState.Listen);
                if (entry == null) return Fail("SocketTable lacks the listener on port " + port);
                SocketOwner owner = entry.Owners.FirstOrDefault(o => o.ProcessId == pid);
                if (owner == null) return Fail("SocketTable has the listener without this process among its owners");
                Console.WriteLine($"SocketTable: {entry.LocalEndPoint} {entry.State} {owner.ProcessId}/{owner.FileDescriptor} {owner.ProcessName}");
#if NET8_0_OR_GREATER
                string unwatched = WatchOwnConnection(listener, pid);
                if (unwatched != null) return Fail(unwatched);
#endif
                Console.WriteLine("package check passed");
                return 0;
            }
        }
        finally
        {
            listener.Stop();
        }
    }

#if NET8_0_OR_GREATER
    // The connection stream (the net8.0 build's): a connection this process
    // makes to its own listener, told as it closes, with this process as the
    // owner of its client end.
    private static string WatchOwnConnection(TcpListener listener, int pid)
    {
        using var cancel = new CancellationTokenSource(TimeSpan.FromSeconds(30));
        IAsyncEnumerator<ConnectionRecord> watch = SocketTable.WatchConnections(cancel.Token).GetAsyncEnumerator();
        Task<bool> next = watch.MoveNextAsync().AsTask();
        try
        {
            IPEndPoint client;
            using (var connection = new TcpClient(AddressFamily.InterNetwork))
            {
                connection.Connect((IPEndPoint)listener.LocalEndpoint);
                client = (IPEndPoint)connection.Client.LocalEndPoint;
                using TcpClient accepted = listener.AcceptTcpClient();
            }
            while (next.GetAwaiter().GetResult())
            {
                ConnectionRecord record = watch.Current;
                if (record.Kind == ConnectionKind.Closed && record.LocalEndPoint.Equals(client))
                {
                    Console.WriteLine($"WatchConnections: {record.LocalEndPoint} -> {record.RemoteEndPoint} {record.Side} " +
                                      $"{record.ProcessId}/{record.ProcessName} {record.End} {record.Lifetime}");
                    return record.ProcessId == pid && record.Side == ConnectionSide.Connect ? null : "the watch names another owner";
                }
                next = watch.MoveNextAsync().AsTask();
            }
            return "the watch ended";
        }
        catch (OperationCanceledException)
        {
            return "the watch told nothing of the connection within 30 s";
        }
        finally
        {
            cancel.Cancel();
            try { next.Wait(); }
            catch (AggregateException) { }
            watch.DisposeAsync().AsTask().Wait();
        }
    }
#endif

    private static int Fail(string message)
    {
        Console.WriteLine("package check failed: " + message);
        return 1;
    }
}
