// SPDX-License-Identifier: MIT
// The running kernel's BTF (/sys/kernel/btf/vmlinux, some 5 MB), mapped
// into memory where the kernel allows that (6.16 and later: no copy, and
// only the pages read are touched), read into it otherwise.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "core/btf_types.h"
#include "core/result.h"

namespace sockscope_detail {

class KernelBtf {
public:
    // A failure with the errno of the step that failed: ENOTSUP when the
    // kernel has no BTF (or gives one that does not parse). Throws only
    // std::bad_alloc.
    static Result<std::unique_ptr<KernelBtf>> load();
    ~KernelBtf();
    KernelBtf(const KernelBtf&) = delete;
    KernelBtf& operator=(const KernelBtf&) = delete;

    const BtfTypes& types() const { return *types_; }

private:
    KernelBtf() = default;

    void* mapped_ = nullptr;              // the file mapped, or
    std::unique_ptr<std::byte[]> read_; // its bytes read
    std::size_t size_ = 0;
    std::optional<BtfTypes> types_;
};

} // namespace sockscope_detail
