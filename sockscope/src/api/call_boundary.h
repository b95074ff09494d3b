// SPDX-License-Identifier: MIT
// The library's edge, where a failure becomes the public answer: no C++
// exception crosses it (callers may be C, .NET, or code built without
// exceptions). A call either answers, leaving errno as the caller had it,
// or fails as a whole with its documented failure value and errno saying
// why: the failed Result's errno (core/result.h), or ENOMEM when memory ran
// out.
#pragma once

#include <cerrno>
#include <new>

#include "core/result.h"

namespace sockscope_detail {

// Runs `work`, which returns Result<Answer>.
template <typename Answer, typename Work>
Answer answer_or_fail(Answer when_failed, Work work) noexcept {
    const int callers_errno = errno;
    int error;
    try {
        Result<Answer> answer = work();
        if (answer) {
            errno = callers_errno;
            return std::move(answer).value();
        }
        error = answer.error();
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    errno = error != 0 ? error : EIO;
    return when_failed;
}

} // namespace sockscope_detail
