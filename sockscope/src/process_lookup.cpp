#include <sockscope/sockscope.h>

#include "process_directory.h"

std::uint32_t sockscope::getProcessId(const char16_t* imageName) {
    return sockscope_detail::find_process_id(imageName);
}
