// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.Linq;

// bench [REPEATS]: prints the median milliseconds of one managed getstat_tcp.
int repeats = args.Length > 0 ? int.Parse(args[0]) : 15;
using var tables = new sockscopeNET.sockscopeNET();
tables.getstat_tcp(); // warm up: load, JIT
var samples = new double[repeats];
for (int i = 0; i < repeats; i++)
{
    var clock = Stopwatch.StartNew();
    tables.getstat_tcp();
    samples[i] = clock.Elapsed.TotalMilliseconds;
}
Console.WriteLine(samples.OrderBy(x => x).ElementAt(repeats / 2).ToString("F2", System.Globalization.CultureInfo.InvariantCulture));
