// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using Xunit;

namespace sockscopeNET.Tests
{
    // CollectionsProbe with four other network namespaces present, as
    // scripts/test-dotnet.sh runs it under Mono: on .NET too, the calls end
    // within the bound.
    [Collection("alone")]
    public class CollectionsTests
    {
        [Fact]
        public void CallsAcrossNamespacesEndUnderForcedCollections()
        {
            var namespaces = new List<TestNamespace>();
            try
            {
                for (int i = 0; i < 4; i++) namespaces.Add(new TestNamespace());
                Dictionary<string, string[]> facts = Probe.RunWithin(TimeSpan.FromSeconds(40), CollectionsProbe.Verb);
                Assert.True(int.Parse(facts["calls"][0]) >= 2, $"{facts["calls"][0]} calls");
            }
            finally
            {
                foreach (TestNamespace made in namespaces) made.Dispose();
            }
        }
    }
}
