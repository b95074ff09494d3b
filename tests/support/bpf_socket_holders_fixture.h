// SPDX-License-Identifier: MIT
// The fixture of the BPF owner source's live tests: skips where the
// iterator can't be expected to work, and reads it, failing the test when
// it is unavailable or its records are malformed.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "linux/bpf_socket_holders.h"
#include "support/socket_descriptors.h"

namespace sockscope_test {

class BpfSocketHolders : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = why_bpf_unavailable();
        if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    }

    // One pass, which must succeed and be well formed.
    static sockscope_detail::SocketHolders read() {
        auto holders = sockscope_detail::read_socket_holders();
        if (!holders) {
            ADD_FAILURE() << "the iterator is unavailable";
            return {};
        }
        EXPECT_EQ(malformed(*holders), "");
        return std::move(*holders);
    }

    static std::uint32_t own_id() { return static_cast<std::uint32_t>(getpid()); }
};

} // namespace sockscope_test
