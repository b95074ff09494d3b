// SPDX-License-Identifier: MIT
// Whether this test binary runs under AddressSanitizer or ThreadSanitizer,
// whose runtimes need address space, stack and descriptors of their own:
// tests that squeeze those limits skip there.
#pragma once

namespace sockscope_test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

} // namespace sockscope_test
