// SPDX-License-Identifier: MIT
// JSON objects and arrays written member by member into a string, the
// writer placing the commas: a comma before every member or element but
// the first of its object or array. The table's JSON (json_output.h) and
// the stream's (event_output.h) both write with it.
//
//   JsonWriter json(out);
//   json.open_object();
//   json.key("pid").number(812);
//   json.key("owners").open_array();
//   ...
//   json.close_array();
//   json.close_object();
//
// Keys are the tool's own names, written as they are; strings are escaped
// as sockscope_text/json_string.h says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockscope_tool {

class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    // An object or an array as a value: after a key, in an array, or
    // alone.
    void open_object() { open('{'); }
    void close_object() { close('}'); }
    void open_array() { open('['); }
    void close_array() { close(']'); }

    // The next member's key; its value follows.
    JsonWriter& key(const char* name);

    void number(std::uint64_t value);
    void signed_number(std::int64_t value);
    // A finite value with `places` decimals (0 for anything not finite).
    void decimal(double value, int places);
    void number_or_null(std::uint64_t value, bool known);
    void boolean(bool value);
    void null();
    // A text of the library's own (an address, a state name): ASCII.
    void ascii(std::string_view text);
    // The same, null when there is none.
    void ascii_or_null(const char* text);
    // A text from the kernel or a process, as UTF-8 with anything
    // ill-formed replaced; null when there is none.
    void text_or_null(const char* text);

private:
    // Before a value: its comma, unless it is a member's (the key had it)
    // or the first element.
    void separate();
    void open(char bracket);
    void close(char bracket);

    std::string& out_;
    bool first_ = true;      // nothing written yet in the innermost open object or array
    bool after_key_ = false; // a key was written, its value not yet
};

} // namespace sockscope_tool
