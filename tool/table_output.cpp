// SPDX-License-Identifier: MIT
#include "table_output.h"

#include <cstring>
#include <vector>

#include <sockscope_text/decimal.h>
#include <sockscope_text/display_width.h>

#include "details_output.h"
#include "table_fit.h"

namespace sockscope_tool {
namespace {

using sockscope_text::display_width;
using sockscope_text::fitting_prefix;

// `text` (ASCII: an address, "*", "-") in `columns`, its middle left out
// when it is wider, the interface after '%' kept whole where it leaves
// room for a few characters of the address.
void append_elided_address(std::string& out, std::string_view text, std::size_t columns, std::string_view mark) {
    if (text.size() <= columns) {
        out += text;
        return;
    }
    if (columns == 0) return;
    std::string_view zone;
    if (const std::size_t percent = text.find('%'); percent != std::string_view::npos && text.size() - percent + 3 <= columns) {
        zone = text.substr(percent);
        text = text.substr(0, percent);
    }
    const std::size_t kept = columns - zone.size() - 1;
    out += text.substr(0, (kept + 1) / 2);
    out += mark;
    out += text.substr(text.size() - kept / 2);
    out += zone;
}

class TableWriter {
public:
    TableWriter(const Listing& listing, std::size_t terminal_width)
        : listing_(listing), terminal_width_(terminal_width), columns_(listed_columns(listing.extended, listing.namespaces, true)),
          cells_(listing.snapshot, listing.users, true, listing.extended), mark_(sockscope_text::ellipsis()) {}

    TableFit write(LineSink& sink, bool header) {
        std::vector<std::size_t> widest(columns_.size(), 0);
        std::size_t widest_first_owner = 0;
        std::size_t lines = header ? 1 : 0;
        listing_.for_each([&](const sockscope_socket& socket) {
            ++lines;
            if (has_details(socket)) ++lines; // its details' line
            for (std::size_t i = 0; i < columns_.size(); ++i)
                // Beyond room_for_owners, PID/Name's width changes nothing
                // in how the table fits: its cells are measured until one
                // reaches it.
                if (columns_[i] != Column::owners || widest[i] < room_for_owners)
                    widest[i] = std::max(widest[i], cells_.width(columns_[i], socket));
            if (socket.owner_count > 0 && widest_first_owner < room_for_first_owner) {
                scratch_.clear();
                cells_.append_owner(scratch_, *cells_.owner(socket, 0));
                widest_first_owner = std::max(widest_first_owner, display_width(scratch_));
            }
        });
        fit_ = fit_table(columns_, widest, terminal_width_, widest_first_owner);
        sink.begin(lines);
        if (header && !write_header(sink)) return fit_;
        bool wanted = true;
        listing_.for_each([&](const sockscope_socket& socket) {
            if (wanted) wanted = write_row(socket, sink);
            if (wanted && listing_.details != 0) wanted = write_details(socket, sink);
        });
        return fit_;
    }

    const std::vector<Column>& columns() const { return columns_; }

private:
    std::size_t last() const { return columns_.size() - 1; }

    // Appends a cell to the line, padded to its column or, last, cut to it.
    void add_cell(std::size_t i, std::string_view cell, std::size_t width) {
        const ColumnFit& column = fit_.columns[i];
        if (!line_.empty()) line_.append(fit_.separator, ' ');
        if (i == last()) {
            line_ += cell;
            return;
        }
        const std::size_t padding = column.width > width ? column.width - width : 0;
        if (traits_of(columns_[i]).right_aligned) line_.append(padding, ' ');
        line_ += cell;
        if (!traits_of(columns_[i]).right_aligned) line_.append(padding, ' ');
    }

    // A line wider than the terminal (one narrower than the steps of
    // table_fit.h can take, or a first holder wider than its room) is left
    // to the terminal to wrap: cutting it would cut a holder.
    bool finish_line(LineSink& sink) { return sink.line(line_); }

    bool has_details(const sockscope_socket& socket) const {
        if (listing_.details == 0) return false;
        const SocketDetailsView details = details_of(listing_.snapshot, socket);
        return details.tcp_info != nullptr || details.timer != nullptr || details.memory != nullptr;
    }

    // The line under a row with its details (-i, -o, -m), indented; none
    // where the socket has none (a UDP socket's TCP state). Left to the
    // terminal to wrap.
    bool write_details(const sockscope_socket& socket, LineSink& sink) {
        if (!has_details(socket)) return true;
        line_.clear();
        line_ += '\t';
        append_details_line(line_, details_of(listing_.snapshot, socket));
        return sink.line(line_);
    }

    bool write_header(LineSink& sink) {
        line_.clear();
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const ColumnFit& column = fit_.columns[i];
            if (!column.shown) continue;
            const ColumnTraits& traits = traits_of(columns_[i]);
            const std::string_view header = column.short_header ? traits.short_header : traits.header;
            add_cell(i, header, header.size());
        }
        return finish_line(sink);
    }

    bool write_row(const sockscope_socket& socket, LineSink& sink) {
        line_.clear();
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const ColumnFit& column = fit_.columns[i];
            if (!column.shown) continue;
            cell_.clear();
            if (i == last()) {
                append_owners(socket, terminal_width_ != 0 ? column.width : std::string::npos);
            } else if (traits_of(columns_[i]).address) {
                scratch_.clear();
                cells_.append(scratch_, columns_[i], socket);
                append_elided_address(cell_, scratch_, column.width, mark_);
            } else if (traits_of(columns_[i]).name) {
                cells_.append(cell_, columns_[i], socket);
                if (display_width(cell_) > column.width) {
                    cell_.resize(fitting_prefix(cell_, column.width > 0 ? column.width - 1 : 0));
                    cell_ += mark_;
                }
            } else {
                cells_.append(cell_, columns_[i], socket);
            }
            add_cell(i, cell_, display_width(cell_));
        }
        return finish_line(sink);
    }

    // The holders in `room` columns: whole, or as many whole ones as fit
    // (at least the first, whatever its width) and ",+N" for the N others.
    void append_owners(const sockscope_socket& socket, std::size_t room) {
        cells_.append(cell_, Column::owners, socket);
        // No holders: the cell's "-" stays, whatever the room.
        if (room == std::string::npos || display_width(cell_) <= room || socket.owner_count == 0) return;
        cell_.clear();
        std::size_t used = 0;
        std::uint32_t shown = 0;
        for (; shown < socket.owner_count; ++shown) {
            scratch_.clear();
            cells_.append_owner(scratch_, *cells_.owner(socket, shown));
            const std::size_t with_it = used + (shown > 0 ? 1 : 0) + display_width(scratch_);
            const std::uint32_t others = socket.owner_count - shown - 1;
            if (shown > 0 && with_it + (others > 0 ? 2 + sockscope_text::decimal_digits(others) : 0) > room) break;
            if (shown > 0) cell_ += Cells::owner_separator;
            cell_ += scratch_;
            used = with_it;
        }
        if (shown == socket.owner_count) return;
        cell_ += Cells::owner_separator;
        cell_ += '+';
        sockscope_text::append_decimal(cell_, socket.owner_count - shown);
    }

    const Listing& listing_;
    std::size_t terminal_width_;
    std::vector<Column> columns_;
    Cells cells_;
    std::string mark_;
    TableFit fit_;
    std::string line_, cell_, scratch_; // reused for every line
};

} // namespace

std::vector<Column> write_table(const Listing& listing, std::size_t terminal_width, LineSink& sink, bool header) {
    TableWriter writer(listing, terminal_width);
    const TableFit fit = writer.write(sink, header);
    return left_out(writer.columns(), fit);
}

std::string left_out_note(const std::vector<Column>& columns, std::size_t terminal_width) {
    if (columns.empty()) return "";
    std::string note;
    sockscope_text::append_decimal(note, terminal_width);
    note += " columns leave out ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) note += i + 1 < columns.size() ? ", " : " and ";
        note += traits_of(columns[i]).header;
    }
    note += " (a wider terminal, --wide or --json shows ";
    note += columns.size() == 1 ? "it)" : "them)";
    return note;
}

bool PrintedLines::line(std::string_view text) {
    out_.text() += text;
    out_.text() += '\n';
    out_.flush_when_full();
    return !out_.failed();
}

namespace {

// Line wrapping is off while the frame is drawn, so that a line wider than
// the screen takes one row and the frame never scrolls.
constexpr const char* wrap_off_and_home = "\033[?7l\033[H";
constexpr const char* clear_line = "\033[K";
constexpr const char* clear_below_and_wrap_on = "\033[J\033[?7h";

} // namespace

TerminalFrame::TerminalFrame(OutputBuffer& out, std::string_view title, unsigned screen_rows,
                             std::size_t terminal_width)
    : out_(out), screen_rows_(screen_rows), terminal_width_(terminal_width) {
    out_.text() += wrap_off_and_home;
    add(title);
}

void TerminalFrame::add(std::string_view text) {
    if (terminal_width_ != 0) text = text.substr(0, fitting_prefix(text, terminal_width_));
    out_.text() += text;
    out_.text() += clear_line;
}

void TerminalFrame::begin(std::size_t lines) {
    lines_ = lines;
    shown_ = lines;
    // The title, the lines, and the line that counts the rest, all without
    // scrolling: the cursor stays on the last line written.
    if (screen_rows_ > 0 && lines + 1 > screen_rows_ - 1) shown_ = screen_rows_ >= 3 ? screen_rows_ - 3 : 0;
}

bool TerminalFrame::line(std::string_view text) {
    if (written_ == shown_) return false;
    out_.text() += '\n';
    add(text);
    ++written_;
    return true;
}

void TerminalFrame::end() {
    if (shown_ < lines_) {
        std::string more = "(";
        sockscope_text::append_decimal(more, lines_ - shown_);
        more += " more lines; narrow with -l, --port, --pid, --state)";
        out_.text() += '\n';
        add(more);
    }
    out_.text() += '\n';
    out_.text() += clear_below_and_wrap_on;
}

} // namespace sockscope_tool
