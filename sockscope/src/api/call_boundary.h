// SPDX-License-Identifier: MIT
// The library's edge: no C++ exception crosses it (callers may be C, .NET,
// or code built without exceptions). A call either answers, leaving errno as
// the caller had it, or fails as a whole with its documented failure value
// and errno saying why: the system's own code, or ENOMEM when memory ran out.
#pragma once

#include <cerrno>
#include <new>

#include "core/failure.h"

namespace sockscope_detail {

template <typename Result, typename Work>
Result answer_or_fail(Result when_failed, Work work) noexcept {
    const int callers_errno = errno;
    int error;
    try {
        Result answer = work();
        errno = callers_errno;
        return answer;
    } catch (const SystemFailure& failure) {
        error = failure.error;
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    errno = error != 0 ? error : EIO;
    return when_failed;
}

} // namespace sockscope_detail
