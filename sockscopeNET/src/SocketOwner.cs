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
        internal SocketOwner(int processId, int fileDescriptor, string? processName, string? cgroup, string? containerId,
            string? userContainerId = null, int? containerUserId = null)
        {
            UserContainerId = userContainerId;
            ContainerUserId = containerUserId;
            ProcessId = processId;
            FileDescriptor = fileDescriptor;
            ProcessName = processName;
            Cgroup = cgroup;
            ContainerId = containerId;
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

        /// <summary>
        /// The process's cgroup path, as /proc/&lt;pid&gt;/cgroup gives it for
        /// the unified hierarchy (on a host with cgroup v1 only, for
        /// name=systemd): "/system.slice/docker-&lt;id&gt;.scope". Null when
        /// it could not be read.
        /// </summary>
        public string? Cgroup { get; }

        /// <summary>
        /// The id of the container the process runs in, read from
        /// <see cref="Cgroup"/> as Docker, containerd, CRI-O, Podman and
        /// Kubernetes name their cgroups (64 hexadecimal digits; <c>docker ps</c>
        /// shows the first 12), or a systemd-nspawn machine's name, where
        /// root owns the cgroup directory that names it (a runtime made it).
        /// Null when the path matches none of them, or a user owns that
        /// directory (see <see cref="UserContainerId"/>): never a guess.
        /// </summary>
        public string? ContainerId { get; }

        /// <summary>
        /// An id named as <see cref="ContainerId"/> names one, in a cgroup
        /// directory that a user other than root owns: a subtree delegated
        /// to that user (<see cref="ContainerUserId"/>), where rootless
        /// Podman and Docker put their containers and where that user may
        /// name directories as it likes. That user's word, not a runtime's.
        /// Null otherwise.
        /// </summary>
        public string? UserContainerId { get; }

        /// <summary>The uid owning <see cref="UserContainerId"/>'s cgroup directory; null when that is null.</summary>
        public int? ContainerUserId { get; }
    }
}
