// SPDX-License-Identifier: MIT
#include "line_output.h"

#include "columns.h"
#include "details_output.h"

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
        // -i, -o, -m: the details' fields end the socket's line.
        if (listing.details != 0) {
            text += ' ';
            append_details_line(text, details_of(listing.snapshot, socket));
            if (text.back() == ' ') text.pop_back();
        }
        text += '\n';
        out.flush_when_full();
    });
}

} // namespace sockscope_tool
