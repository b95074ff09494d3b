// SPDX-License-Identifier: MIT
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using Xunit;

namespace sockscopeNET.Tests
{
    // Every child that ends raises SIGCHLD in this process; a signal that
    // arrives while the library lists a directory must not cut the listing
    // short and so lose a process or an owner.
    [Collection("alone")]
    public class SignalTests
    {
        private const int Lookups = 5000;
        private const int LookupsPerSnapshot = 50;
        private const int ChildrenInFlight = 4;
        private static readonly TimeSpan TimeLimit = TimeSpan.FromSeconds(90);

        [Fact]
        public void AnswersStayRightWhileChildProcessesEnd()
        {
            using var named = new TestChild();
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            try
            {
                ushort port = (ushort)((IPEndPoint)listener.LocalEndpoint).Port;
                string ownName = OwnProcess.Name();
                var children = new HashSet<uint>();
                var wrong = new List<string>();
                int lookups = 0, snapshots = 0, wrongLookups = 0, wrongSnapshots = 0;
                using (var tables = new sockscopeNET())
                using (var reaper = new Reaper())
                {
                    // The kernel sends SIGCHLD to the thread that started the
                    // child whenever that thread can take it, so the children
                    // are started here, between lookups: their ends land on
                    // this thread while it is inside the library. Another
                    // thread waits for them and reaps them.
                    var start = new ProcessStartInfo("/bin/true") { UseShellExecute = false };
                    var clock = Stopwatch.StartNew();
                    for (; lookups < Lookups && clock.Elapsed < TimeLimit; lookups++)
                    {
                        if (reaper.InFlight < ChildrenInFlight) children.Add((uint)reaper.Add(Process.Start(start)));
                        ulong id = tables.getProcessId(named.Name);
                        if (id != (ulong)named.Id)
                        {
                            wrongLookups++;
                            wrong.Add($"lookup {lookups} gave {id}, not {named.Id}");
                        }
                        if (lookups % LookupsPerSnapshot != 0) continue;
                        snapshots++;
                        string problem = CheckListener(tables.getstat_tcp(), port, ownName, children);
                        if (problem != null)
                        {
                            wrongSnapshots++;
                            wrong.Add($"snapshot {snapshots}: {problem}");
                        }
                    }
                    reaper.Finish();
                }
                Assert.True(lookups >= 1000, $"only {lookups} lookups in {TimeLimit.TotalSeconds} s");
                Assert.True(wrong.Count == 0,
                    $"{wrongLookups} of {lookups} lookups and {wrongSnapshots} of {snapshots} snapshots wrong " +
                    $"while {children.Count} children ended: {string.Join("; ", wrong.Take(5))}");
            }
            finally { listener.Stop(); }
        }

        // Our listener must have its owner. A child holds this process's
        // descriptors from its start until it runs its program, and when ids
        // have wrapped round it has the lower id, which wins: it may own the
        // row for that moment.
        private static string CheckListener(statTCPROW_NET[] rows, ushort port, string ownName, HashSet<uint> children)
        {
            statTCPROW_NET row = rows.FirstOrDefault(r => r.LocalAddr == "127.0.0.1" && r.LocalPort == port && r.Statestr == "LISTEN");
            if (row == null) return $"listener on port {port} missing";
            if (row.ProcessId == (uint)OwnProcess.Id && row.ProcessName == ownName) return null;
            if (children.Contains(row.ProcessId)) return null;
            return $"listener owned by {row.ProcessId} '{row.ProcessName}'";
        }

        // Waits for each child handed to it and releases it, on a thread of
        // its own.
        private sealed class Reaper : IDisposable
        {
            private readonly BlockingCollection<Process> queue = new BlockingCollection<Process>();
            private readonly Thread thread;
            private int inFlight;
            private Exception failure;

            internal Reaper()
            {
                thread = new Thread(Run) { IsBackground = true, Name = "reaper" };
                thread.Start();
            }

            internal int InFlight => Volatile.Read(ref inFlight);

            // Hands a started child over; its id.
            internal int Add(Process child)
            {
                int id = child.Id;
                Interlocked.Increment(ref inFlight);
                queue.Add(child);
                return id;
            }

            // Waits until every child handed over is reaped.
            internal void Finish()
            {
                queue.CompleteAdding();
                if (!thread.Join(TimeSpan.FromSeconds(30))) throw new TimeoutException("children not reaped");
                if (failure != null) throw new InvalidOperationException("reaping failed", failure);
            }

            public void Dispose()
            {
                if (!queue.IsAddingCompleted) queue.CompleteAdding();
                thread.Join(TimeSpan.FromSeconds(30));
                queue.Dispose();
            }

            private void Run()
            {
                foreach (Process child in queue.GetConsumingEnumerable())
                {
                    try
                    {
                        if (!child.WaitForExit(10000)) child.Kill();
                        child.WaitForExit();
                    }
                    catch (Exception e) when (failure == null)
                    {
                        failure = e;
                    }
                    finally
                    {
                        child.Dispose();
                        Interlocked.Decrement(ref inFlight);
                    }
                }
            }
        }
    }
}
