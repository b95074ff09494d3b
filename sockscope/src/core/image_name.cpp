// SPDX-License-Identifier: MIT
#include "core/image_name.h"

#include "core/decimal.h"

namespace sockscope_detail {

std::string_view comm_from_file(std::string_view contents) {
    if (!contents.empty() && contents.back() == '\n') contents.remove_suffix(1);
    return contents;
}

std::string_view first_argument(std::string_view cmdline) {
    const auto end = cmdline.find('\0');
    return end == std::string_view::npos ? cmdline : cmdline.substr(0, end);
}

std::string_view executable_path(std::string_view link_target) {
    constexpr std::string_view deleted = " (deleted)";
    if (link_target.size() >= deleted.size() &&
        link_target.substr(link_target.size() - deleted.size()) == deleted)
        link_target.remove_suffix(deleted.size());
    return link_target;
}

std::optional<std::string_view> long_name_from_path(std::string_view comm, std::string_view path) {
    const auto slash = path.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (base.size() > comm.size() && base.substr(0, comm.size()) == comm) return base;
    return std::nullopt;
}

} // namespace sockscope_detail

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
