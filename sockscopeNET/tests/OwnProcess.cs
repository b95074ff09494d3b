// SPDX-License-Identifier: MIT
using System;
using System.IO;
using Xunit;

namespace sockscopeNET.Tests
{
    // This test process as the library sees it.
    internal static class OwnProcess
    {
        internal static int Id => Environment.ProcessId;

        // The image name as the library makes it: the comm, or the
        // executable's name when the comm was cut at 15 bytes.
        internal static string Name()
        {
            string comm = File.ReadAllText("/proc/self/comm").TrimEnd('\n');
            string exe = Path.GetFileName(Environment.ProcessPath ?? "");
            return comm.Length == 15 && exe.StartsWith(comm, StringComparison.Ordinal) ? exe : comm;
        }

        // The user id that the sockets this process makes belong to: its
        // filesystem uid, the last of /proc/self/status's "Uid:" line.
        internal static int UserId()
        {
            foreach (string line in File.ReadLines("/proc/self/status"))
                if (line.StartsWith("Uid:", StringComparison.Ordinal))
                    return int.Parse(line.Split('\t', StringSplitOptions.RemoveEmptyEntries)[4]);
            throw new InvalidDataException("/proc/self/status has no Uid line");
        }
    }

    // Tests that count process-wide (native objects alive) or load the
    // machine run alone, after the others.
    [CollectionDefinition("alone", DisableParallelization = true)]
    public class AloneCollection
    {
    }
}
