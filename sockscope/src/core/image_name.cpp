// SPDX-License-Identifier: MIT
#include "core/image_name.h"


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
