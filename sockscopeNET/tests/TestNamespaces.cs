// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Threading;

namespace sockscopeNET.Tests
{
    // A network namespace made with `ip netns add` under a name of this
    // test's, loopback up; deleted on Dispose. The launcher runs a test
    // program inside it.
    internal sealed class TestNamespace : IDisposable
    {
        private const int CLONE_NEWNET = 0x40000000;
        private const int O_RDONLY_CLOEXEC = 0x80000;

        internal string Name { get; } = "ssnet" + Environment.ProcessId + "n" + Guid.NewGuid().ToString("N").Substring(0, 6);
        internal ulong Inode { get; }
        internal string[] Launcher => new[] { "ip", "netns", "exec", Name };

        internal TestNamespace()
        {
            Command.Run("ip", "netns", "add", Name);
            try
            {
                Command.Run("ip", "-n", Name, "link", "set", "lo", "up");
                Inode = ulong.Parse(Command.Run("stat", "-L", "-c", "%i", "/run/netns/" + Name));
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        public void Dispose() => Command.Run("ip", "netns", "delete", Name);

        // A TCP listener on 127.0.0.1:`port` inside the namespace, held by
        // this process, which stays outside: a thread of its own enters the
        // namespace, makes it, and goes back.
        internal Socket Listen(int port)
        {
            Socket made = null;
            Exception failure = null;
            var thread = new Thread(() =>
            {
                int home = -1, inside = -1;
                try
                {
                    home = Check(open("/proc/thread-self/ns/net", O_RDONLY_CLOEXEC), "open own namespace");
                    inside = Check(open("/run/netns/" + Name, O_RDONLY_CLOEXEC), "open " + Name);
                    Check(setns(inside, CLONE_NEWNET), "enter " + Name);
                    try
                    {
                        made = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
                        made.Bind(new IPEndPoint(IPAddress.Loopback, port));
                        made.Listen();
                    }
                    finally
                    {
                        Check(setns(home, CLONE_NEWNET), "go back");
                    }
                }
                catch (Exception caught)
                {
                    failure = caught;
                    made?.Dispose();
                }
                finally
                {
                    if (inside >= 0) close(inside);
                    if (home >= 0) close(home);
                }
            });
            thread.Start();
            thread.Join();
            if (failure != null) throw failure;
            return made;
        }

        // The network namespace's inode of a process (/proc/<pid>/ns/net
        // links to net:[inode]); "self" for this one.
        internal static ulong Of(string process) =>
            ulong.Parse(new FileInfo($"/proc/{process}/ns/net").LinkTarget.Split('[', ']')[1]);

        private static int Check(int result, string what) =>
            result >= 0 ? result : throw new IOException($"{what}: errno {Marshal.GetLastWin32Error()}");

        [DllImport("libc", SetLastError = true)]
        private static extern int open(string path, int flags);

        [DllImport("libc", SetLastError = true)]
        private static extern int setns(int fd, int nstype);

        [DllImport("libc")]
        private static extern int close(int fd);
    }

    // A cgroup named as Docker names a container's (docker-<64 hex>.scope),
    // made under the unified hierarchy (/sys/fs/cgroup, or
    // /sys/fs/cgroup/unified on hybrid hosts) in a slice of this test's;
    // both removed on Dispose, once the processes put in it have been reaped.
    internal sealed class TestCgroup : IDisposable
    {
        private readonly string hierarchy = UnifiedHierarchy();
        // A slice, as the runtimes' scopes sit in.
        private readonly string parent = "/ssnet" + Environment.ProcessId + "c" + Guid.NewGuid().ToString("N").Substring(0, 6) + ".slice";

        internal string ContainerId { get; } = Guid.NewGuid().ToString("N") + Guid.NewGuid().ToString("N");
        internal string Path => $"{parent}/docker-{ContainerId}.scope";

        internal TestCgroup() => Directory.CreateDirectory(hierarchy + Path);

        internal void Add(int processId) => File.WriteAllText(hierarchy + Path + "/cgroup.procs", processId.ToString());

        // A cgroup whose last process was just reaped may stay busy for a
        // moment.
        public void Dispose()
        {
            foreach (string folder in new[] { hierarchy + Path, hierarchy + parent })
                for (int attempt = 0; ; attempt++)
                {
                    try
                    {
                        Directory.Delete(folder);
                        break;
                    }
                    catch (IOException) when (attempt < 100)
                    {
                        Thread.Sleep(20);
                    }
                }
        }

        // The path of a process's cgroup in the unified hierarchy, from its
        // "0::" line.
        internal static string Of(string process) =>
            File.ReadLines($"/proc/{process}/cgroup").Single(line => line.StartsWith("0::", StringComparison.Ordinal)).Substring(3);

        private static string UnifiedHierarchy() =>
            File.ReadLines("/proc/self/mountinfo")
                .Where(line => line.Contains(" - cgroup2 ", StringComparison.Ordinal))
                .Select(line => line.Split(' ')[4])
                .First();
    }
}
