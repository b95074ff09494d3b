// SPDX-License-Identifier: MIT
namespace sockscopeNET.Tests
{
    // The test host never calls this entry point: tests run this assembly as
    // a program of its own (Probe.Run) where the test host can't do what
    // they need, such as entering a PID namespace or running out of
    // descriptors.
    public static class Program
    {
        public static int Main(string[] args)
        {
            if (args.Length != 1) return 2;
            switch (args[0])
            {
                case LargeProcessIdProbe.Verb: return LargeProcessIdProbe.Run();
                case DescriptorLimitProbe.Verb: return DescriptorLimitProbe.Run();
                case UnprivilegedProbe.Verb: return UnprivilegedProbe.Run();
                case CollectionsProbe.Verb: return CollectionsProbe.Run();
                default: return 2;
            }
        }
    }
}
