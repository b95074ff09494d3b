// SPDX-License-Identifier: MIT
#include "core/process_stat.h"

#include "core/decimal.h"

namespace sockscope_detail {

char process_state_from_stat(std::string_view stat) {
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size() || stat[close + 1] != ' ') return 0;
    return stat[close + 2];
}

bool stat_shows_ended(std::string_view stat) {
    const char state = process_state_from_stat(stat);
    if (state != 'Z' && state != 'X' && state != 'x') return false;
    // num_threads is the 18th field after the state; a line cut short of
    // it says nothing of other threads.
    std::string_view rest = stat.substr(stat.rfind(')') + 2);
    for (int field = 0; field < 17; ++field) {
        const auto blank = rest.find(' ');
        if (blank == std::string_view::npos) return true;
        rest.remove_prefix(blank + 1);
    }
    unsigned threads = 0;
    return !parse_number(rest.substr(0, rest.find(' ')), threads) || threads <= 1;
}

} // namespace sockscope_detail
