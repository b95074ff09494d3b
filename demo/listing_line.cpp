// SPDX-License-Identifier: MIT
#include "listing_line.h"

#include <sockscope_text/decimal.h>
#include <sockscope_text/terminal_text.h>

namespace sockscope_demo {
namespace {

using sockscope_text::append_decimal;

// The library fills every text of a row; "-" keeps the line whole if one
// is ever missing.
void append_text(std::string& out, const char* text) {
    if (text == nullptr || *text == 0)
        out += '-';
    else
        out += text;
}

} // namespace

void append_listing_line(std::string& line, const statTCPROW& row) {
    append_text(line, row.LocalAddr);
    line += ' ';
    append_decimal(line, row.LocalPort);
    line += ' ';
    append_text(line, row.RemoteAddr);
    line += ' ';
    append_decimal(line, row.RemotePort);
    line += ' ';
    append_decimal(line, row.PID);
    line += ' ';
    sockscope_text::append_escaped_name(line, row.ProcessName);
    line += ' ';
    append_text(line, row.Statestr);
    line += '\n';
}

} // namespace sockscope_demo
