// SPDX-License-Identifier: MIT
#include "table_fit.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sockscope_tool {
namespace {

struct Step {
    enum Kind { shrink_addresses, one_blank, drop } kind;
    std::size_t limit = 0; // shrink_addresses
    Column column{};       // drop
};

// The order in which the table gives way; table_fit.h and sockscope(1)
// tell it.
constexpr Step steps[] = {
    {Step::shrink_addresses, 24},         {Step::one_blank},
    {Step::drop, 0, Column::cgroup},      {Step::drop, 0, Column::v6only},
    {Step::drop, 0, Column::send_queue},  {Step::drop, 0, Column::receive_queue},
    {Step::drop, 0, Column::user},        {Step::drop, 0, Column::cookie},
    {Step::drop, 0, Column::inode},       {Step::drop, 0, Column::uid},
    {Step::drop, 0, Column::netns},       {Step::drop, 0, Column::protocol},
    {Step::shrink_addresses, 12},         {Step::drop, 0, Column::container},
};

} // namespace

TableFit fit_table(const std::vector<Column>& columns, const std::vector<std::size_t>& widest,
                   std::size_t terminal_width, std::size_t widest_first_owner) {
    TableFit fit;
    fit.columns.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i)
        fit.columns[i].width = std::max(std::strlen(traits_of(columns[i]).header), widest[i]);
    if (terminal_width == 0 || columns.empty()) return fit;

    const std::size_t last = columns.size() - 1;
    const std::size_t wanted_last = std::max(std::min(fit.columns[last].width, room_for_owners),
                                             std::min(widest_first_owner, room_for_first_owner));
    // The columns before the last, with their separators and the one
    // before the last.
    const auto used = [&] {
        std::size_t total = 0;
        for (std::size_t i = 0; i < last; ++i)
            if (fit.columns[i].shown) total += fit.columns[i].width + fit.separator;
        return total;
    };
    for (const Step& step : steps) {
        if (used() + wanted_last <= terminal_width) break;
        for (std::size_t i = 0; i < last; ++i) {
            ColumnFit& column = fit.columns[i];
            const ColumnTraits& traits = traits_of(columns[i]);
            if (step.kind == Step::drop && columns[i] == step.column) column.shown = false;
            if (step.kind == Step::shrink_addresses && (traits.address || traits.name)) {
                const std::size_t shrunk = std::max(std::min(widest[i], step.limit), std::strlen(traits.short_header));
                column.width = std::min(column.width, shrunk);
                column.short_header = column.width < std::strlen(traits.header);
            }
        }
        if (step.kind == Step::one_blank) fit.separator = 1;
    }
    const std::size_t before_last = used();
    fit.columns[last].width = terminal_width > before_last ? terminal_width - before_last : 0;
    return fit;
}

std::vector<Column> left_out(const std::vector<Column>& columns, const TableFit& fit) {
    std::vector<Column> out;
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (!fit.columns[i].shown) out.push_back(columns[i]);
    return out;
}

} // namespace sockscope_tool
