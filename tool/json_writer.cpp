// SPDX-License-Identifier: MIT
#include "json_writer.h"

#include <cmath>
#include <cstdio>

#include <sockscope_text/decimal.h>
#include <sockscope_text/json_string.h>

namespace sockscope_tool {

void JsonWriter::separate() {
    if (!after_key_ && !first_) out_ += ',';
    after_key_ = false;
    first_ = false;
}

void JsonWriter::open(char bracket) {
    separate();
    out_ += bracket;
    first_ = true;
}

// Whatever encloses the object or array just closed now has a value in it.
void JsonWriter::close(char bracket) {
    out_ += bracket;
    first_ = false;
}

JsonWriter& JsonWriter::key(const char* name) {
    separate();
    out_ += '"';
    out_ += name;
    out_ += "\":";
    after_key_ = true;
    return *this;
}

void JsonWriter::number(std::uint64_t value) {
    separate();
    sockscope_text::append_decimal(out_, value);
}

void JsonWriter::decimal(double value, int places) {
    separate();
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, std::isfinite(value) ? value : 0.0);
    out_ += text;
}

void JsonWriter::signed_number(std::int64_t value) {
    separate();
    // The magnitude as unsigned: -INT64_MIN does not fit the signed type.
    const auto magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) out_ += '-';
    sockscope_text::append_decimal(out_, value < 0 ? 0 - magnitude : magnitude);
}

void JsonWriter::number_or_null(std::uint64_t value, bool known) {
    if (known)
        number(value);
    else
        null();
}

void JsonWriter::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
}

void JsonWriter::null() {
    separate();
    out_ += "null";
}

void JsonWriter::ascii(std::string_view text) {
    separate();
    sockscope_text::append_json_ascii(out_, text);
}

void JsonWriter::ascii_or_null(const char* text) {
    if (text != nullptr)
        ascii(text);
    else
        null();
}

void JsonWriter::text_or_null(const char* text) {
    if (text == nullptr) return null();
    separate();
    sockscope_text::append_json_utf8(out_, text);
}

} // namespace sockscope_tool
