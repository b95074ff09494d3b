// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.Threading;
using sockscopeNET;

// Two threads read every network namespace's sockets while the main thread
// forces one collection after another: a runtime that stops its threads with
// signals for a collection (Mono) must still reach the callers, also while
// they start the library's threads. Each thread makes up to 400 calls, for
// 15 s at most (a loaded machine makes fewer); prints "calls N" and exits 0
// when both ended without an exception. The caller bounds the time: a hang
// is the fault. Built into MonoCheck (run under Mono) and the .NET tests.
internal static class CollectionsProbe
{
    internal const string Verb = "collections-probe";

    private const int CallsEach = 400;
    private static readonly TimeSpan Budget = TimeSpan.FromSeconds(15);

    internal static int Run()
    {
        int calls = 0;
        Exception failure = null;
        Stopwatch running = Stopwatch.StartNew();
        var callers = new Thread[2];
        for (int i = 0; i < callers.Length; i++)
        {
            callers[i] = new Thread(() =>
            {
                try
                {
                    for (int call = 0; call < CallsEach && running.Elapsed < Budget; call++)
                    {
                        SocketTable.GetSockets(SocketSelection.All | SocketSelection.AllNamespaces);
                        Interlocked.Increment(ref calls);
                    }
                }
                catch (Exception thrown)
                {
                    failure = thrown;
                }
            });
            callers[i].Start();
        }
        // Collections only within the budget: a call still running after it
        // then ends at its own pace, so the time the caller bounds is the
        // budget and one call, however loaded the machine. A deadlock never
        // ends, and is still caught.
        int collections = 0;
        while ((callers[0].IsAlive || callers[1].IsAlive) && running.Elapsed < Budget)
        {
            GC.Collect();
            collections++;
        }
        foreach (Thread caller in callers) caller.Join();
        Console.WriteLine("calls " + calls);
        Console.WriteLine("collections " + collections);
        if (failure == null) return 0;
        Console.WriteLine("failed " + failure.GetType().Name + " " + failure.Message);
        return 1;
    }
}
