// SPDX-License-Identifier: MIT
// A small strict JSON reader (RFC 8259) for checking what the tools write:
// one value per text, strings kept as UTF-16 code units so that escaped
// lone surrogates read back exactly, object members kept in their order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sockscope_test {

struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    std::string number;    // the number's text as written
    std::u16string string; // UTF-16 code units
    std::vector<JsonValue> array;
    std::vector<std::pair<std::string, JsonValue>> members; // keys in UTF-8

    bool is(Kind k) const { return kind == k; }
    // The member named `key`, or null when there is none.
    const JsonValue* member(const std::string& key) const;
    // The number as an integer, if it is one that fits.
    std::optional<std::int64_t> integer() const;
    // The string as UTF-8 (lone surrogates as U+FFFD).
    std::string utf8() const;
};

// Parses `text`, which must hold exactly one value (blanks around it are
// allowed). On failure returns nothing and says why in `error`.
std::optional<JsonValue> parse_json(std::string_view text, std::string* error = nullptr);

} // namespace sockscope_test
