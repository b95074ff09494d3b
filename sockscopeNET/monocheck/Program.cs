// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.Net;
using System.Net.Sockets;
using sockscopeNET;

// Exits 0 and prints "net472 check passed" when a listener this process
// opens shows up through the wrapper; prints what failed and exits 1 otherwise.
internal static class Program
{
    private static int Main()
    {
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

    private static int Fail(string message)
    {
        Console.WriteLine("net472 check failed: " + message);
        return 1;
    }
}
