// SPDX-License-Identifier: MIT
// --events' output: a line per connection record, or a JSON object per
// record on a line of its own.
//
// A line's fields, in this order, none of them empty or holding a blank:
//   Time        the close (an open record: the open), local HH:MM:SS.mmm
//   PID/Name    the owner, 1234/curl; "-" unknown (escaped as the table's)
//   Side        connect, accept, listen; "-" unknown
//   Local, Remote   address:port, [v6]:port
//   End         normal, reset-sent, reset-received, refused, timed-out,
//               abandoned, failed:ERRNO_NAME; open for an open record
//   Lifetime    1.2ms, 3.4s, 2m05s; "-" when the open was not seen
//   Sent, Received  bytes at close; "-" in an open record
//   States      the TCP states it went through, SYN_SENT>ESTAB>CLOSE;
//               "..." where the path lost states in the middle
// On a terminal the fields are padded to line up under a header;
// otherwise they are separated by single spaces.
//
// JSON (members always present, in this order):
//   {"kind":"closed"|"opened", "protocol":"tcp", "family":"ipv4"|"ipv6",
//    "local_address":string, "local_port":number,
//    "remote_address":string|null, "remote_port":number|null (null: a listener),
//    "netns":number, "netns_name":string|null, "cookie":number,
//    "pid":number|null, "name":string|null, "comm":string|null,
//    "cgroup":string|null, "cgroup_id":number|null, "container":string|null,
//    "user_container":string|null, "container_user":number|null (an id
//    named in a cgroup directory that user owns: never in "container"),
//    "side":"connect"|"accept"|"listen"|null,
//    "owner_source":"connect"|"listen"|"accept"|"snapshot"|"close"|null,
//    "end":"open"|"normal"|"reset sent"|..., "error":string|null (ECONNRESET;
//    the number, as a string, of an errno without a name),
//    "states":[string...], "opened":string|null, "closed":string|null
//    (RFC 3339 UTC with milliseconds), "lifetime_ns":number|null,
//    "bytes_sent":number|null, "bytes_received":number|null (null in an
//    open record), "closer_pid":number|null,
//    "flags":["open_unseen","closed_in_call","path_cut"] (those set)}
#pragma once

#include <cstdint>
#include <string>

#include <sockscope/connections.h>

namespace sockscope_tool {

// The header line of the aligned form.
void append_event_header(std::string& out);
// One record's line; `aligned`: padded as under the header.
void append_event_line(std::string& out, const sockscope_connection& record, bool aligned);
// One record's JSON line.
void append_event_json(std::string& out, const sockscope_connection& record);

// A duration for people: 850ns, 12us, 1.2ms, 34ms, 3.4s, 2m05s, 3h07m.
std::string duration_text(std::int64_t nanoseconds);

} // namespace sockscope_tool
