// SPDX-License-Identifier: MIT
namespace sockscopeNET.Tests
{
    // The test host never calls this entry point: LargeProcessIdTests runs
    // this assembly as a program of its own, inside a PID namespace.
    public static class Program
    {
        public static int Main(string[] args) =>
            args.Length == 1 && args[0] == LargeProcessIdProbe.Verb ? LargeProcessIdProbe.Run() : 2;
    }
}
