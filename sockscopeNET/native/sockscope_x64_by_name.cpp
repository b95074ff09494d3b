// SPDX-License-Identifier: MIT
// Intentionally empty. This file makes libsockscope_x64.so for the .NET
// package: a library with no code of its own that needs
// libsockscope_x64.so.1 (found beside it, through RUNPATH $ORIGIN).
//
// The managed assembly calls the C interface with
// DllImport("sockscope_x64"), and .NET and Mono look for that name as
// libsockscope_x64.so, never under the library's SONAME. The symbols they
// look up in this library are found in the one it needs, so every P/Invoke
// reaches the same loaded copy of libsockscope_x64.so.1 that
// libsockscopeNET_x64.so uses, on every runtime and with nothing to
// configure.
