// SPDX-License-Identifier: MIT
// How the C interface's answers are laid out: one block on the C heap that
// holds a header, its records and every text they point to, so that one
// free gives it all back and no failure leaves half of it behind.
//
// Records are built first with each text's place as an offset into one
// buffer of texts, kept in the pointer's own storage; once the block is
// made and the texts copied in, resolve() turns each offset into a pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/working_memory.h"

namespace sockscope_detail {

// The offset of a text that isn't there: resolves to null.
inline constexpr std::uintptr_t no_text = ~std::uintptr_t{0};

class BlockTexts {
public:
    // The offset `text` will have, null-terminated.
    std::uintptr_t add(std::string_view text) {
        const std::uintptr_t at = bytes_.size();
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back('\0');
        return at;
    }
    const WorkingVector<char>& bytes() const { return bytes_; }

private:
    WorkingVector<char> bytes_;
};

template <typename Pointer>
void set_offset(Pointer& pointer, std::uintptr_t offset) {
    pointer = reinterpret_cast<Pointer>(offset);
}

template <typename Pointer>
void resolve(Pointer& pointer, const char* texts) {
    const auto offset = reinterpret_cast<std::uintptr_t>(pointer);
    pointer = offset == no_text ? nullptr : reinterpret_cast<Pointer>(texts + offset);
}

// Each part of a block starts at a multiple of 8.
constexpr std::size_t block_aligned(std::size_t bytes) { return (bytes + 7) & ~std::size_t{7}; }

} // namespace sockscope_detail
