// SPDX-License-Identifier: MIT
#include "json_output.h"

#include <sockscope_text/decimal.h>
#include <sockscope_text/json_string.h>

namespace sockscope_tool {
namespace {

using sockscope_text::append_decimal;
using sockscope_text::append_json_ascii;
using sockscope_text::append_json_string;

void append_key(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

} // namespace

void append_json_line(std::string& out, const ListedSocket& row) {
    out += '{';
    append_key(out, "protocol");
    out += row.protocol == ListedSocket::Protocol::tcp ? "\"tcp\"" : "\"udp\"";
    out += ',';
    append_key(out, "family");
    out += row.family == ListedSocket::Family::ipv4 ? "\"ipv4\"" : "\"ipv6\"";
    out += ',';
    append_key(out, "local_address");
    append_json_ascii(out, row.local_address);
    out += ',';
    append_key(out, "local_port");
    append_decimal(out, row.local_port);
    out += ',';
    append_key(out, "remote_address");
    if (row.remote_address)
        append_json_ascii(out, *row.remote_address);
    else
        out += "null";
    out += ',';
    append_key(out, "remote_port");
    if (row.remote_port)
        append_decimal(out, *row.remote_port);
    else
        out += "null";
    out += ',';
    append_key(out, "state");
    if (row.state)
        append_json_ascii(out, *row.state);
    else
        out += "null";
    out += ',';
    append_key(out, "pid");
    if (row.pid != 0)
        append_decimal(out, row.pid);
    else
        out += "null";
    out += ',';
    append_key(out, "name");
    if (row.name)
        append_json_string(out, *row.name);
    else
        out += "null";
    out += "}\n";
}

} // namespace sockscope_tool
