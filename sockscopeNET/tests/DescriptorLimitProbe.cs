// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;

namespace sockscopeNET.Tests
{
    // A process that runs out of descriptors while SocketTable reads: it
    // prints what GetSockets threw ("thrown Type message") and, with the
    // limit lifted again, how many sockets the next call found
    // ("afterwards N").
    internal static class DescriptorLimitProbe
    {
        internal const string Verb = "descriptor-limit-probe";

        private const int RLIMIT_NOFILE = 7;

        [StructLayout(LayoutKind.Sequential)]
        private struct Limit
        {
            internal ulong Current;
            internal ulong Maximum;
        }

        [DllImport("libc", SetLastError = true)]
        private static extern int getrlimit(int resource, out Limit limit);

        [DllImport("libc", SetLastError = true)]
        private static extern int setrlimit(int resource, in Limit limit);

        [DllImport("libc", SetLastError = true)]
        private static extern int dup(int fd);

        [DllImport("libc", SetLastError = true)]
        private static extern int close(int fd);

        internal static int Run()
        {
            SocketTable.GetSockets(); // loads the libraries and compiles the calls first
            if (getrlimit(RLIMIT_NOFILE, out Limit saved) != 0) return 1;
            // Every descriptor below the lowest free one is open: with the
            // limit there, none can be opened.
            int lowest = dup(0);
            if (lowest < 0 || close(lowest) != 0) return 1;
            if (setrlimit(RLIMIT_NOFILE, new Limit { Current = (ulong)lowest, Maximum = saved.Maximum }) != 0) return 1;
            string thrown;
            try
            {
                thrown = $"nothing: {SocketTable.GetSockets().Count} sockets";
            }
            catch (Exception failure)
            {
                thrown = failure.GetType().Name + " " + failure.Message;
            }
            if (setrlimit(RLIMIT_NOFILE, saved) != 0) return 1;
            Console.WriteLine("thrown " + thrown);
            Console.WriteLine("afterwards " + SocketTable.GetSockets().Count);
            return 0;
        }
    }
}
