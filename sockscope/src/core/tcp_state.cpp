// SPDX-License-Identifier: MIT
#include "core/tcp_state.h"

namespace sockscope_detail {
namespace {

const char* const state_names[12] = {
    "CLOSED",  "LISTEN",     "SENT",     "RCVD",     "ESTABLISH", "WAIT1",
    "WAIT2",   "CLOSE_WAIT", "CLOSEING", "LAST_ACK", "TIMEWAIT",  "DELETE_TCB",
};

const char* const kernel_state_names[13] = {
    "UNKNOWN",   "ESTABLISHED", "SYN_SENT",   "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2",   "TIME_WAIT",
    "CLOSE",     "CLOSE_WAIT",  "LAST_ACK",   "LISTEN",   "CLOSING",   "NEW_SYN_RECV",
};

} // namespace

const char* kernel_state_name(bool tcp, std::uint8_t state) {
    if (!tcp && state == kernel_states::close) return "UNCONN";
    return state < 13 ? kernel_state_names[state] : kernel_state_names[0];
}

std::uint32_t state_from_kernel(unsigned kernel_state) {
    switch (kernel_state) {
    case 1: return 5;   // ESTABLISHED
    case 2: return 3;   // SYN_SENT
    case 3: return 4;   // SYN_RECV
    case 4: return 6;   // FIN_WAIT1
    case 5: return 7;   // FIN_WAIT2
    case 6: return 11;  // TIME_WAIT
    case 7: return 1;   // CLOSE
    case 8: return 8;   // CLOSE_WAIT
    case 9: return 10;  // LAST_ACK
    case 10: return 2;  // LISTEN
    case 11: return 9;  // CLOSING
    case 12: return 4;  // NEW_SYN_RECV
    default: return 1;
    }
}

const char* state_name(std::uint32_t state) {
    if (state < 1 || state > 12) return "UNKNOWN";
    return state_names[state - 1];
}

} // namespace sockscope_detail
