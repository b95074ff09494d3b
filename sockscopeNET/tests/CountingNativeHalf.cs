// SPDX-License-Identifier: MIT
using System;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;

namespace sockscopeNET.Tests
{
    // The tests run the wrapper on the counting build of its native half
    // (libsockscopeNET_x64_counting.so, built from the same source), which
    // also reports how many snapshots it has handed out and not got back.
    internal static class CountingNativeHalf
    {
        private const string Library = "sockscopeNET_x64_counting";

        // Runs before any test touches the wrapper: from then on its P/Invokes
        // of libsockscopeNET_x64.so reach the counting build instead.
        [ModuleInitializer]
        internal static void LoadInPlaceOfTheShippedOne() =>
            NativeLibrary.SetDllImportResolver(typeof(sockscopeNET).Assembly, (name, assembly, searchPath) =>
                name == "sockscopeNET_x64" ? NativeLibrary.Load(Library, typeof(CountingNativeHalf).Assembly, searchPath) : IntPtr.Zero);

        /// <summary>Snapshots handed out and not yet given back, in the whole process.</summary>
        [DllImport(Library, EntryPoint = "sockscopeNET_live_snapshots")]
        internal static extern long LiveSnapshots();
    }
}
