// SPDX-License-Identifier: MIT
// How errors travel inside the library: one currency, said here once.
//
// A failed system call is its errno, a positive number, and every function
// of the library that can fail returns Result<T>: its value, or that errno.
// No function returns a sentinel for a failure (-1, a negative errno, an
// empty optional) and none throws one. The one exception that travels is
// std::bad_alloc, which the standard containers throw when memory runs out.
//
// What a failure does depends on whom it concerns, decided where it is met:
//
//   - the caller's own resources or the machine's (fails_the_call: no
//     descriptor left, no memory), or a machine-wide source (the table,
//     /proc itself): the call fails, and the Result is passed up;
//   - one process or one descriptor (it ended, it isn't ours to read, its
//     link is too long to show, any other errno of its entries): that one
//     is unknown, and the call goes on without it.
//
// The public members turn a failed Result, and std::bad_alloc, into their
// documented answer (null or 0, with errno set) in one place:
// api/call_boundary.h.
#pragma once

#include <cerrno>
#include <utility>
#include <variant>

namespace sockscope_detail {

// A failure: the errno of what failed.
struct Failure {
    int error;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, failure) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // The errno of a failure; call only when !ok().
    int error() const { return std::get<1>(state_).error; }
    Failure failure() const { return std::get<1>(state_); }

    // The value; call only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, Failure> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : error_(failure.error) {}

    bool ok() const { return error_ == 0; }
    explicit operator bool() const { return ok(); }
    int error() const { return error_; }
    Failure failure() const { return {error_}; }

private:
    int error_ = 0;
};

// Whether `error`, met while reading one process or descriptor, is the
// caller's or the machine's rather than that process's: no descriptor left
// for the caller or the system, no memory (ENOBUFS: kernel memory). Those
// fail the call; any other errno leaves that one process or descriptor
// unknown.
constexpr bool fails_the_call(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

// Whether `error` says that the process or descriptor read is gone.
constexpr bool is_gone(int error) { return error == ENOENT || error == ESRCH; }

} // namespace sockscope_detail
