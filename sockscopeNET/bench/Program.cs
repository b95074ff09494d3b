// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Linq;
using System.Runtime.InteropServices;
using sockscopeNET;

// bench [REPEATS]
//     the median milliseconds of one managed getstat_tcp
// bench sockets [REPEATS] [SELECTION]
//     the median milliseconds of the C interface's sockscope_snapshot_take
//     and sockscope_snapshot_free called directly, of SocketTable.GetSockets
//     for the same selection (default All; e.g. "Tcp, IPv4"), and of
//     GetSockets followed by reading every entry's endpoints and owners
//     (which SocketEntry makes when asked for), each with its ratio
//     to the native call; they take turns in one process after a warm-up
if (args.Length > 0 && args[0] == "sockets")
{
    int rounds = args.Length > 1 ? int.Parse(args[1], CultureInfo.InvariantCulture) : 15;
    var selection = args.Length > 2 ? Enum.Parse<SocketSelection>(args[2]) : SocketSelection.All;
    Console.WriteLine(SocketsBench.Run(rounds, selection));
    return;
}
int repeats = args.Length > 0 ? int.Parse(args[0], CultureInfo.InvariantCulture) : 15;
using var tables = new sockscopeNET.sockscopeNET();
tables.getstat_tcp(); // warm up: load, JIT
var samples = new double[repeats];
for (int i = 0; i < repeats; i++)
{
    var clock = Stopwatch.StartNew();
    tables.getstat_tcp();
    samples[i] = clock.Elapsed.TotalMilliseconds;
}
Console.WriteLine(SocketsBench.Median(samples).ToString("F2", CultureInfo.InvariantCulture));

internal static unsafe class SocketsBench
{
    [StructLayout(LayoutKind.Sequential)]
    private struct Selection
    {
        internal nuint Size;
        internal uint What;
        internal uint States;
        internal ushort* Ports;
        internal nuint PortCount;
    }

    [DllImport("sockscope_x64", EntryPoint = "sockscope_snapshot_take")]
    private static extern void* Take(Selection* selection);

    [DllImport("sockscope_x64", EntryPoint = "sockscope_snapshot_free")]
    private static extern void Free(void* snapshot);

    internal static string Run(int rounds, SocketSelection selection)
    {
        var native = new double[rounds];
        var managed = new double[rounds];
        var read = new double[rounds];
        int count = 0;
        for (int round = -2; round < rounds; round++) // two rounds of warm-up: load, JIT
        {
            // Which goes first turns round, so that none always finds the
            // caches as another left them.
            double nativeTime = 0, managedTime = 0, readTime = 0;
            for (int turn = 0; turn < 3; turn++)
            {
                switch ((turn + round + 3) % 3)
                {
                    case 0: nativeTime = Time(() => TakeAndFree(selection)); break;
                    case 1: managedTime = Time(() => count = SocketTable.GetSockets(selection).Count); break;
                    default: readTime = Time(() => ReadAll(SocketTable.GetSockets(selection))); break;
                }
            }
            if (round < 0) continue;
            native[round] = nativeTime;
            managed[round] = managedTime;
            read[round] = readTime;
        }
        double nativeMedian = Median(native), managedMedian = Median(managed), readMedian = Median(read);
        return string.Format(CultureInfo.InvariantCulture,
            "{0} ({1} sockets), median of {2}: native {3:F2} ms; GetSockets {4:F2} ms, ratio {5:F2}; " +
            "GetSockets and reading every entry {6:F2} ms, ratio {7:F2}",
            selection, count, rounds, nativeMedian, managedMedian, managedMedian / nativeMedian, readMedian, readMedian / nativeMedian);
    }

    private static int ReadAll(IReadOnlyList<SocketEntry> sockets)
    {
        int sum = 0;
        foreach (SocketEntry entry in sockets)
        {
            sum += entry.LocalEndPoint.Port + entry.RemoteEndPoint.Port;
            foreach (SocketOwner owner in entry.Owners) sum += owner.ProcessId;
        }
        return sum;
    }

    private static void TakeAndFree(SocketSelection selection)
    {
        var what = new Selection { Size = (nuint)sizeof(Selection), What = (uint)selection };
        void* snapshot = Take(&what);
        if (snapshot == null) throw new InvalidOperationException("sockscope_snapshot_take failed");
        Free(snapshot);
    }

    private static double Time(Action call)
    {
        var clock = Stopwatch.StartNew();
        call();
        return clock.Elapsed.TotalMilliseconds;
    }

    internal static double Median(double[] samples) => samples.OrderBy(x => x).ElementAt(samples.Length / 2);
}
