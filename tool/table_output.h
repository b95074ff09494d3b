// SPDX-License-Identifier: MIT
// The table a person at a terminal sees: a header and aligned columns
// (columns.h), fitted to the terminal's width (table_fit.h). It is written
// from the snapshot in two passes, the first measuring the columns, the
// second writing each line as it is made, so that no copy of the rows is
// kept.
//
// Cells wider than their column: an address is elided in the middle,
// keeping its %interface ("fe80::a00…fe4e:66a1%eth0"); a name (Netns,
// Container) is cut at its end ("my-long-nam…"); PID/Name keeps as many
// whole holders as fit and counts the rest ("1234/nginx,+3"). A holder is
// never cut: when not even the first fits, it is shown whole and the line
// is wider than the terminal, which wraps it. The mark is
// sockscope_text::ellipsis().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "columns.h"
#include "listing.h"
#include "output_buffer.h"

namespace sockscope_tool {

// Where the table's lines go.
class LineSink {
public:
    virtual ~LineSink() = default;
    // Before the lines: how many there are, the header included.
    virtual void begin(std::size_t lines) = 0;
    // One line, without its newline; false when no more are wanted.
    virtual bool line(std::string_view text) = 0;
};

// Writes the header (unless `header` is false) and a line per listed
// socket. `terminal_width` 0: no limit. Returns the columns left out to fit
// the terminal, which the caller tells the user of (left_out_note).
std::vector<Column> write_table(const Listing& listing, std::size_t terminal_width, LineSink& sink,
                                bool header = true);

// The line that tells which columns a table left out, and how to see them:
// "80 columns leave out Recv-Q, Send-Q and User (a wider terminal, --wide or
// --json shows them)"; "" when none was.
std::string left_out_note(const std::vector<Column>& columns, std::size_t terminal_width);

// Lines printed one after another.
class PrintedLines : public LineSink {
public:
    explicit PrintedLines(OutputBuffer& out) : out_(out) {}
    void begin(std::size_t) override {}
    bool line(std::string_view text) override;

private:
    OutputBuffer& out_;
};

// One screen of a table redrawn in place (--watch on a terminal): cursor
// home, the title, the lines each clearing the rest of its screen line,
// then the rest of the screen cleared; line wrapping is off meanwhile, so
// that nothing scrolls. When the lines don't fit in `screen_rows` (0:
// unknown), the last ones give way to a line saying how many were left
// out. The title and that line are cut to `terminal_width` (0: no limit).
class TerminalFrame : public LineSink {
public:
    TerminalFrame(OutputBuffer& out, std::string_view title, unsigned screen_rows, std::size_t terminal_width);
    void begin(std::size_t lines) override;
    bool line(std::string_view text) override;
    // Ends the frame; call once after the lines.
    void end();

private:
    void add(std::string_view text);

    OutputBuffer& out_;
    unsigned screen_rows_;
    std::size_t terminal_width_;
    std::size_t lines_ = 0, shown_ = 0, written_ = 0;
};

} // namespace sockscope_tool
