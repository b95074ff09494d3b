#include <sockscope/sockscope.h>

#include "no_exceptions.h"
#include "process_directory.h"

std::uint32_t sockscope::getProcessId(const char16_t* imageName) {
    return sockscope_detail::without_exceptions<std::uint32_t>(
        0, [imageName] { return sockscope_detail::find_process_id(imageName); });
}
