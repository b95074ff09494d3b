// SPDX-License-Identifier: MIT
#include "line_output.h"

#include "columns.h"

namespace sockscope_tool {

void write_lines(const Listing& listing, OutputBuffer& out) {
    const std::vector<Column> columns = listed_columns(listing.extended, listing.namespaces);
    Cells cells(listing.snapshot, listing.users, false, listing.extended);
    listing.for_each([&](const sockscope_socket& socket) {
        if (out.failed()) return;
        std::string& text = out.text();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0) text += ' ';
            cells.append(text, columns[i], socket);
        }
        text += '\n';
        out.flush_when_full();
    });
}

} // namespace sockscope_tool
