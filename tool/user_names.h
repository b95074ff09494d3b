// SPDX-License-Identifier: MIT
// Users' names by number, from the user database (getpwuid_r), each looked
// up once: a table has few distinct users and many rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace sockscope_tool {

class UserNames {
public:
    // The name of user `uid`, or null when the database has none for it (or
    // can't be read). The text stays valid as long as this object.
    const char* name_of(std::uint32_t uid);

private:
    std::unordered_map<std::uint32_t, std::optional<std::string>> known_;
};

} // namespace sockscope_tool
