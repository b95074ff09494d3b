// SPDX-License-Identifier: MIT
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace sockscopeNET
{
    /// <summary>
    /// Conversions between native texts and .NET strings. None of them keeps
    /// or releases the native text it reads; the block that str2wchr returns
    /// belongs to its caller, who releases it with Marshal.FreeHGlobal.
    /// </summary>
    internal static unsafe class StringMarshal
    {
        private const string SizeMessage = "Size of string exceeds INT_MAX.";

        // Narrow texts are UTF-8 on Linux; ill-formed bytes become U+FFFD.
        private static readonly Encoding Narrow = new UTF8Encoding(false, false);

        /// <summary>A null-terminated narrow text as a string; null for a null pointer.</summary>
        internal static string chr2str(IntPtr chr)
        {
            if (chr == IntPtr.Zero) return null;
            var bytes = (byte*)chr;
            long length = 0;
            while (bytes[length] != 0) length++;
            return NarrowToString(bytes, length);
        }

        /// <summary>The same as chr2str, for read-only texts such as state names.</summary>
        internal static string conchr2str(IntPtr chr) => chr2str(chr);

        /// <summary>A null-terminated UTF-16 text as a string; null for a null pointer.</summary>
        internal static string wchr2str(IntPtr chr) => chr == IntPtr.Zero ? null : new string((char*)chr);

        /// <summary>
        /// A counted narrow text as a string: every byte, zeros inside included.
        /// The wrapper itself does not use it; it completes the set of conversions.
        /// </summary>
        internal static string std2str(byte[] str)
        {
            if (str == null) return null;
            fixed (byte* bytes = str) return NarrowToString(bytes, str.Length);
        }

        /// <summary>
        /// A new native UTF-16 copy of the string up to its first zero character,
        /// with a terminator; IntPtr.Zero for null. Release it with Marshal.FreeHGlobal.
        /// </summary>
        internal static IntPtr str2wchr(string str)
        {
            if (str == null) return IntPtr.Zero;
            int length = str.IndexOf('\0');
            if (length < 0) length = str.Length;
            IntPtr block = Marshal.AllocHGlobal(new IntPtr(((long)length + 1) * sizeof(char))); // throws OutOfMemoryException
            var units = (char*)block;
            fixed (char* source = str)
            {
                Buffer.MemoryCopy(source, units, (long)length * sizeof(char), (long)length * sizeof(char));
            }
            units[length] = '\0';
            return block;
        }

        // UTF-8 decoding with replacement cannot fail, and it never makes more
        // characters than there are bytes: the byte count is the only limit.
        private static string NarrowToString(byte* bytes, long count)
        {
            if (count > int.MaxValue) throw new ArgumentOutOfRangeException(null, SizeMessage);
            return count == 0 ? string.Empty : Narrow.GetString(bytes, (int)count);
        }
    }
}
