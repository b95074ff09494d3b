// SPDX-License-Identifier: MIT
// The file that the tests' precompiled header is made with
// (tests/CMakeLists.txt); it has nothing of its own.
