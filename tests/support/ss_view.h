// SPDX-License-Identifier: MIT
// What ss prints of sockets, to hold the library's snapshots against:
// `ss -tanpeH` and `ss -uanpeH`, cut to the fields both know.
#pragma once

#include <map>
#include <string>

#include <sockscope/sockets.h>

namespace sockscope_test {

// The standard output of a shell command.
std::string command_output(const std::string& command);

// ss's lines (run by `ss_command`, e.g. "ss -tanpeH", perhaps behind
// nsenter) as "recv-q send-q local peer users:(...) [uid:] ino: sk:
// [v6only:]", keyed by their text up to " users:". ss lists a socket's
// holders in no particular order: here they are lowest pid first.
std::map<std::string, std::string> ss_sockets(const std::string& ss_command);

// A socket of a snapshot as ss_sockets writes it.
std::string as_ss_writes(const sockscope_snapshot* snapshot, const sockscope_socket* socket);

// The key of as_ss_writes's text in ss_sockets.
std::string ss_key(const std::string& line);

} // namespace sockscope_test
