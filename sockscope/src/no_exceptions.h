// No C++ exception crosses the library's boundary: callers may be C, .NET or
// code built without exceptions. The only exception the library's own code
// can meet is std::bad_alloc from a container when memory runs out; the
// public members then answer as the interface documents for that case.
#pragma once

namespace sockscope_detail {

template <typename Result, typename Work>
Result without_exceptions(Result when_failed, Work work) noexcept {
    try {
        return work();
    } catch (...) {
        return when_failed;
    }
}

} // namespace sockscope_detail
