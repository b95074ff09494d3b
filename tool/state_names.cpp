// SPDX-License-Identifier: MIT
#include "state_names.h"

#include <string>

namespace sockscope_tool {
namespace {

struct Named {
    const char* name; // lower case, without '_'
    std::uint32_t state;
};

constexpr Named names[] = {
    {"established", SOCKSCOPE_ESTABLISHED}, {"estab", SOCKSCOPE_ESTABLISHED},   {"synsent", SOCKSCOPE_SYN_SENT},
    {"synrecv", SOCKSCOPE_SYN_RECV},        {"finwait1", SOCKSCOPE_FIN_WAIT1},  {"finwait2", SOCKSCOPE_FIN_WAIT2},
    {"timewait", SOCKSCOPE_TIME_WAIT},      {"close", SOCKSCOPE_CLOSE},         {"unconn", SOCKSCOPE_CLOSE},
    {"closewait", SOCKSCOPE_CLOSE_WAIT},    {"lastack", SOCKSCOPE_LAST_ACK},    {"listen", SOCKSCOPE_LISTEN},
    {"closing", SOCKSCOPE_CLOSING},         {"newsynrecv", SOCKSCOPE_NEW_SYN_RECV},
};

} // namespace

std::uint32_t state_bit_named(std::string_view name) {
    std::string folded;
    for (const char c : name) // ASCII only: no locale folds a letter to another
        if (c != '_' && c != '-') folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    for (const Named& known : names)
        if (folded == known.name) return SOCKSCOPE_STATE_BIT(known.state);
    return 0;
}

std::string_view table_state_name(const sockscope_socket& socket) {
    if (socket.state == SOCKSCOPE_ESTABLISHED) return "ESTAB";
    return socket.state_name != nullptr ? socket.state_name : "-";
}

} // namespace sockscope_tool
