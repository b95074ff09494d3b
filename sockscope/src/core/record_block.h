// SPDX-License-Identifier: MIT
// How the C interface's answers are laid out: one block on the C heap that
// holds a header, its records and every text they point to, so that one
// free gives it all back and no failure leaves half of it behind.
//
// Texts are gathered first, each once, as offsets into one buffer of texts;
// then the block is made at its whole size, the texts copied in, and each
// record written in its place with its texts' addresses (or, where records
// are built before their block, with each text's offset kept in the
// pointer's own storage until resolve() turns it into a pointer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>

#include "core/working_memory.h"

namespace sockscope_detail {

// The offset of a text that isn't there: resolves to null.
inline constexpr std::uintptr_t no_text = ~std::uintptr_t{0};

// A block's texts, each once: every owner of a process shares its name,
// every socket of an address its text, every connection its congestion
// algorithm's name.
class BlockTexts {
public:
    BlockTexts() = default;
    // The offsets index bytes_ through the set's hash and comparison.
    BlockTexts(const BlockTexts&) = delete;
    BlockTexts& operator=(const BlockTexts&) = delete;

    // The offset `text` will have, null-terminated: that of an equal text
    // added before, or the end of those.
    std::uintptr_t add(std::string_view text) {
        if (const auto found = offsets_.find(text); found != offsets_.end()) return *found;
        const std::uintptr_t at = bytes_.size();
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back('\0');
        offsets_.insert(at);
        return at;
    }
    const WorkingVector<char>& bytes() const { return bytes_; }

private:
    // Compares texts by their bytes, whether given or found at an offset.
    struct ByText {
        using is_transparent = void;
        const WorkingVector<char>* bytes;
        std::string_view at(std::uintptr_t offset) const { return {bytes->data() + offset}; }
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
        std::size_t operator()(std::uintptr_t offset) const { return (*this)(at(offset)); }
        bool operator()(std::uintptr_t a, std::uintptr_t b) const { return a == b; }
        bool operator()(std::string_view a, std::uintptr_t b) const { return a == at(b); }
        bool operator()(std::uintptr_t a, std::string_view b) const { return at(a) == b; }
    };

    WorkingVector<char> bytes_;
    std::unordered_set<std::uintptr_t, ByText, ByText> offsets_{0, ByText{&bytes_}, ByText{&bytes_}};
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
