using System;
using System.Net;
using System.Net.Sockets;
using sockscopeNET;

var listener = new TcpListener(IPAddress.Loopback, 0);
listener.Start();
int port = ((IPEndPoint)listener.LocalEndpoint).Port;
using (var tables = new sockscopeNET.sockscopeNET())
{
    foreach (statTCPROW_NET row in tables.getstat_tcp())
    {
        if (row.LocalPort == port && row.Statestr == "LISTEN" && row.PID == (ushort)Environment.ProcessId)
        {
            Console.WriteLine($"package check passed: {row.LocalAddr} {row.LocalPort} {row.ProcessName} {row.Statestr}");
            return 0;
        }
    }
}
Console.WriteLine($"package check failed: listener on port {port} not found");
return 1;
