// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;
using System.Text;
using Xunit;

namespace sockscopeNET.Tests
{
    public class StringMarshalTests
    {
        // A native copy of `bytes` followed by a zero byte.
        private static IntPtr Native(byte[] bytes)
        {
            IntPtr block = Marshal.AllocHGlobal(bytes.Length + 1);
            Marshal.Copy(bytes, 0, block, bytes.Length);
            Marshal.WriteByte(block, bytes.Length, 0);
            return block;
        }

        private static string Chr2Str(byte[] bytes)
        {
            IntPtr block = Native(bytes);
            try { return StringMarshal.chr2str(block); }
            finally { Marshal.FreeHGlobal(block); }
        }

        [Fact]
        public void NarrowTexts()
        {
            Assert.Equal("127.0.0.1", Chr2Str(Encoding.ASCII.GetBytes("127.0.0.1")));
            Assert.Equal("", Chr2Str(new byte[0]));
            Assert.Null(StringMarshal.chr2str(IntPtr.Zero));
            Assert.Null(StringMarshal.conchr2str(IntPtr.Zero));
            IntPtr listen = Native(Encoding.ASCII.GetBytes("LISTEN"));
            try { Assert.Equal("LISTEN", StringMarshal.conchr2str(listen)); }
            finally { Marshal.FreeHGlobal(listen); }
        }

        [Fact]
        public void NarrowTextsAreUtf8WithReplacement()
        {
            Assert.Equal("caf\u00E9", Chr2Str(new byte[] { 0x63, 0x61, 0x66, 0xC3, 0xA9 }));
            Assert.Equal("a\uFFFDb", Chr2Str(new byte[] { 0x61, 0xFF, 0x62 }));
        }

        [Fact]
        public void CountedTextKeepsInnerZeros()
        {
            var bytes = new byte[] { 0x61, 0x00, 0x62 };
            Assert.Equal("a\0b", StringMarshal.std2str(bytes));
            Assert.Equal("a", Chr2Str(bytes));
            Assert.Equal("", StringMarshal.std2str(new byte[0]));
            Assert.Null(StringMarshal.std2str(null));
        }

        [Fact]
        public unsafe void Utf16Texts()
        {
            Assert.Null(StringMarshal.wchr2str(IntPtr.Zero));
            fixed (char* empty = "\0") Assert.Equal("", StringMarshal.wchr2str((IntPtr)empty));
            fixed (char* name = "\u65E5\u672C\0ignored") Assert.Equal("\u65E5\u672C", StringMarshal.wchr2str((IntPtr)name));
        }

        [Fact]
        public unsafe void StringToNativeUtf16()
        {
            IntPtr abc = StringMarshal.str2wchr("abc");
            try
            {
                var units = (char*)abc;
                Assert.Equal(new[] { 'a', 'b', 'c', '\0' }, new[] { units[0], units[1], units[2], units[3] });
            }
            finally { Marshal.FreeHGlobal(abc); }

            IntPtr cut = StringMarshal.str2wchr("ab\0cd");
            try
            {
                Assert.Equal("ab", new string((char*)cut));
            }
            finally { Marshal.FreeHGlobal(cut); }

            Assert.Equal(IntPtr.Zero, StringMarshal.str2wchr(null));
        }
    }
}
