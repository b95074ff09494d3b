// SPDX-License-Identifier: MIT
// Output gathered in a buffer and handed over in pieces, so that a long
// listing never stands whole in memory: the writers append to text() and
// call flush_when_full() after each line.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace sockscope_tool {

class OutputBuffer {
public:
    // Writes all of a text; returns 0 or an errno value.
    using Write = std::function<int(std::string_view)>;

    explicit OutputBuffer(Write write) : write_(std::move(write)) {}

    std::string& text() { return pending_; }
    void flush_when_full() {
        if (pending_.size() >= piece) flush();
    }
    // Whether a write failed: what is appended from then on is dropped.
    bool failed() const { return error_ != 0; }
    // Hands over the rest; 0, or the errno value of the first write that
    // failed.
    int finish() {
        flush();
        return error_;
    }

private:
    static constexpr std::size_t piece = 64 * 1024;

    void flush() {
        if (error_ == 0 && !pending_.empty()) error_ = write_(pending_);
        pending_.clear();
    }

    Write write_;
    std::string pending_;
    int error_ = 0;
};

} // namespace sockscope_tool
