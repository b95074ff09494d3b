// SPDX-License-Identifier: MIT
#include "user_names.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace sockscope_tool {
namespace {

std::optional<std::string> look_up(std::uint32_t uid) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    for (int tries = 0; tries < 8; ++tries) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_name == nullptr || *found->pw_name == 0) return std::nullopt;
        return std::string(found->pw_name);
    }
    return std::nullopt;
}

} // namespace

const char* UserNames::name_of(std::uint32_t uid) {
    auto at = known_.find(uid);
    if (at == known_.end()) at = known_.emplace(uid, look_up(uid)).first;
    return at->second ? at->second->c_str() : nullptr;
}

} // namespace sockscope_tool
