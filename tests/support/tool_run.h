// SPDX-License-Identifier: MIT
// The built sockscope tool as the tests run it (in C.UTF-8), and its
// output read back: piped lines split into fields, JSON lines parsed and
// checked against the schema, terminal lines measured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/json_reader.h"
#include "support/program_run.h"

namespace sockscope_test {

RunOptions tool_options(std::vector<std::string> arguments, Stdout output = Stdout::file);
ProgramResult run_tool(std::vector<std::string> arguments, Stdout output = Stdout::file);
// The table on a pseudo-terminal `columns` wide.
ProgramResult run_tool_on_terminal(std::vector<std::string> arguments, unsigned short columns);

// Every line of --json output, parsed and checked against the schema (each
// member in its place, of its kind).
std::vector<JsonValue> json_rows(const std::string& output);
// The tool's --json rows for `arguments`, expecting success and nothing on
// standard error but the note about processes that could not be inspected.
std::vector<JsonValue> run_json(std::vector<std::string> arguments);

std::int64_t number(const JsonValue& row, const char* key);
std::string text(const JsonValue& row, const char* key);
bool is_null(const JsonValue& row, const char* key);
// "pid/name" of each owner of a JSON row, in order.
std::vector<std::string> owners_of(const JsonValue& row);

// A piped line's fields: proto recv-q send-q local-address local-port
// peer-address peer-port state user [uid inode cookie] owners.
namespace field {
constexpr std::size_t protocol = 0, receive_queue = 1, send_queue = 2, local_address = 3, local_port = 4,
                      peer_address = 5, peer_port = 6, state = 7, user = 8, owners = 9;
}
std::vector<std::string> fields_of(const std::string& line);
// The piped lines whose local end is `address` `port`, as fields.
std::vector<std::vector<std::string>> lines_at(const std::string& output, const std::string& address, unsigned port);
// The same of `protocol` ("tcp", "udp6", ...) alone: TCP and UDP number
// their ports apart, so a socket of the other protocol may have the same end.
std::vector<std::vector<std::string>> lines_at(const std::string& output, const std::string& protocol,
                                               const std::string& address, unsigned port);

// The columns a line takes on a UTF-8 terminal (its code points: the tool's
// output holds no wide characters), after the terminal's control sequences
// are taken out.
std::size_t columns_of(const std::string& line);
// `text` without the control sequences of a redrawn frame (ESC [ ... letter).
std::string without_control_sequences(const std::string& text);

} // namespace sockscope_test
