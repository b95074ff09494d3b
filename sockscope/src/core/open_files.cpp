// SPDX-License-Identifier: MIT
#include "core/open_files.h"

#include <cerrno>

#include "core/decimal.h"

namespace sockscope_detail {

Result<std::uint64_t> parse_open_files(std::string_view file_nr) {
    std::uint64_t open = 0;
    if (!parse_number(file_nr.substr(0, file_nr.find('\t')), open)) return Failure{EPROTO};
    return open;
}

} // namespace sockscope_detail
