// SPDX-License-Identifier: MIT
#nullable enable

namespace sockscopeNET
{
    /// <summary>
    /// A process that holds a socket: one of <see cref="SocketEntry.Owners"/>.
    /// A process that holds the socket under several descriptors is an owner
    /// once for each.
    /// </summary>
    public sealed class SocketOwner
    {
        internal SocketOwner(int processId, int fileDescriptor, string? processName)
        {
            ProcessId = processId;
            FileDescriptor = fileDescriptor;
            ProcessName = processName;
        }

        /// <summary>The process id, as the caller's PID namespace numbers it.</summary>
        public int ProcessId { get; }

        /// <summary>The process's descriptor number of the socket (as listed in /proc/&lt;pid&gt;/fd).</summary>
        public int FileDescriptor { get; }

        /// <summary>
        /// The process's whole name, not cut at the kernel's 15 bytes: the
        /// executable's (or argv[0]'s) base name when the kernel's name is
        /// its start, the kernel's name otherwise. Null when it could not be
        /// read (the process ended during the call). Any text a process
        /// chose: escape it before printing it to a terminal.
        /// </summary>
        public string? ProcessName { get; }
    }
}
