// SPDX-License-Identifier: MIT
// The library's internal results in tests.
#pragma once

#include <cstring>
#include <gtest/gtest.h>
#include <utility>

#include "core/result.h"

namespace sockscope_test {

// The value of a Result the test expects to succeed; when it failed, a
// failure of the test naming the errno, and a default value.
template <typename T>
T ok(sockscope_detail::Result<T> result) {
    if (!result) {
        ADD_FAILURE() << "failed: " << strerrorname_np(result.error());
        return T{};
    }
    return std::move(result).value();
}

} // namespace sockscope_test
