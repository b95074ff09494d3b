// SPDX-License-Identifier: MIT
#include "core/table_size_estimate.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace sockscope_detail {
namespace {

// The number after the word `word` on the line of `text` that starts with
// `line` ("TCP:"); 0 when there is none.
std::size_t figure(std::string_view text, std::string_view line, std::string_view word) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view current = text.substr(at, end - at);
        at = end + 1;
        if (!current.starts_with(line) || current.size() == line.size() || current[line.size()] != ' ') continue;
        current.remove_prefix(line.size());
        while (!current.empty()) {
            current.remove_prefix(std::min(current.find_first_not_of(' '), current.size()));
            const std::string_view name = current.substr(0, current.find(' '));
            current.remove_prefix(name.size());
            current.remove_prefix(std::min(current.find_first_not_of(' '), current.size()));
            const std::string_view value = current.substr(0, current.find(' '));
            current.remove_prefix(value.size());
            std::uint32_t number = 0;
            const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), number);
            if (name == word && error == std::errc{} && stop == value.data() + value.size()) return number;
        }
        return 0;
    }
    return 0;
}

} // namespace

std::size_t estimated_rows(std::string_view sockstat, std::string_view sockstat6,
                           std::span<const TableRequest> tables) {
    std::size_t rows = 0;
    for (const TableRequest& table : tables) {
        const bool v4 = table.family == Family::ipv4;
        if (table.protocol == Protocol::tcp)
            rows += (v4 ? figure(sockstat, "TCP:", "inuse") : figure(sockstat6, "TCP6:", "inuse")) +
                    figure(sockstat, "TCP:", "tw");
        else
            rows += v4 ? figure(sockstat, "UDP:", "inuse") : figure(sockstat6, "UDP6:", "inuse");
    }
    return rows;
}

} // namespace sockscope_detail
