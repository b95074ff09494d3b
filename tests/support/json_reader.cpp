// SPDX-License-Identifier: MIT
#include "json_reader.h"

#include <charconv>

namespace sockscope_test {
namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> document(std::string& error) {
        auto value = this->value();
        skip_blanks();
        if (value && at_ != text_.size()) fail("text after the value");
        if (!error_.empty()) {
            error = error_ + " at offset " + std::to_string(at_);
            return std::nullopt;
        }
        return value;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::string error_;
    int depth_ = 0;

    std::nullopt_t fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return std::nullopt;
    }
    bool more() const { return at_ < text_.size(); }
    char peek() const { return more() ? text_[at_] : '\0'; }
    void skip_blanks() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
    }
    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    std::optional<JsonValue> value() {
        skip_blanks();
        if (++depth_ > 64) return fail("nested too deeply");
        std::optional<JsonValue> result;
        JsonValue v;
        const char c = peek();
        if (c == '{') {
            result = object();
        } else if (c == '[') {
            result = array();
        } else if (c == '"') {
            v.kind = JsonValue::Kind::string;
            if (string(v.string)) result = v;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            result = number();
        } else if (literal("true") || literal("false")) {
            v.kind = JsonValue::Kind::boolean;
            v.boolean = text_[at_ - 4] == 't';
            result = v;
        } else if (literal("null")) {
            result = v;
        } else {
            fail("no value");
        }
        --depth_;
        return result;
    }

    std::optional<JsonValue> object() {
        JsonValue v;
        v.kind = JsonValue::Kind::object;
        ++at_;
        skip_blanks();
        if (peek() == '}') {
            ++at_;
            return v;
        }
        for (;;) {
            skip_blanks();
            std::u16string key;
            if (peek() != '"' || !string(key)) return fail("no member name");
            JsonValue named;
            named.string = key;
            skip_blanks();
            if (peek() != ':') return fail("no colon");
            ++at_;
            auto member = value();
            if (!member) return std::nullopt;
            v.members.emplace_back(named.utf8(), std::move(*member));
            skip_blanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() == '}') {
                ++at_;
                return v;
            }
            return fail("no comma or closing brace");
        }
    }

    std::optional<JsonValue> array() {
        JsonValue v;
        v.kind = JsonValue::Kind::array;
        ++at_;
        skip_blanks();
        if (peek() == ']') {
            ++at_;
            return v;
        }
        for (;;) {
            auto element = value();
            if (!element) return std::nullopt;
            v.array.push_back(std::move(*element));
            skip_blanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() == ']') {
                ++at_;
                return v;
            }
            return fail("no comma or closing bracket");
        }
    }

    std::optional<JsonValue> number() {
        const std::size_t start = at_;
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9') ++at_;
        } else {
            return fail("bad number");
        }
        if (peek() == '.') {
            ++at_;
            if (!(peek() >= '0' && peek() <= '9')) return fail("bad fraction");
            while (peek() >= '0' && peek() <= '9') ++at_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!(peek() >= '0' && peek() <= '9')) return fail("bad exponent");
            while (peek() >= '0' && peek() <= '9') ++at_;
        }
        JsonValue v;
        v.kind = JsonValue::Kind::number;
        v.number = std::string(text_.substr(start, at_ - start));
        return v;
    }

    bool hex4(char16_t& unit) {
        if (at_ + 4 > text_.size()) return false;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, value, 16);
        if (error != std::errc() || end != text_.data() + at_ + 4) return false;
        at_ += 4;
        unit = static_cast<char16_t>(value);
        return true;
    }

    // One UTF-8 sequence, validated (no overlong forms, no surrogates).
    bool utf8_character(std::u16string& out) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text_[at_ + i]); };
        const unsigned char first = byte(0);
        std::size_t length;
        char32_t c;
        if (first < 0x80) {
            length = 1, c = first;
        } else if (first >= 0xC2 && first <= 0xDF) {
            length = 2, c = first & 0x1F;
        } else if (first >= 0xE0 && first <= 0xEF) {
            length = 3, c = first & 0x0F;
        } else if (first >= 0xF0 && first <= 0xF4) {
            length = 4, c = first & 0x07;
        } else {
            return false;
        }
        if (at_ + length > text_.size()) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80) return false;
            c = (c << 6) | (byte(i) & 0x3F);
        }
        if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        at_ += length;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        return true;
    }

    bool string(std::u16string& out) {
        ++at_;
        for (;;) {
            if (!more()) return fail("unterminated string"), false;
            const char c = peek();
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return fail("raw control character in a string"), false;
            if (c != '\\') {
                if (!utf8_character(out)) return fail("ill-formed UTF-8"), false;
                continue;
            }
            ++at_;
            const char escape = peek();
            ++at_;
            switch (escape) {
            case '"': out += u'"'; break;
            case '\\': out += u'\\'; break;
            case '/': out += u'/'; break;
            case 'b': out += u'\b'; break;
            case 'f': out += u'\f'; break;
            case 'n': out += u'\n'; break;
            case 'r': out += u'\r'; break;
            case 't': out += u'\t'; break;
            case 'u': {
                char16_t unit;
                if (!hex4(unit)) return fail("bad \\u escape"), false;
                out += unit;
                break;
            }
            default: return fail("bad escape"), false;
            }
        }
    }
};

} // namespace

const JsonValue* JsonValue::member(const std::string& key) const {
    for (const auto& [name, value] : members)
        if (name == key) return &value;
    return nullptr;
}

std::optional<std::int64_t> JsonValue::integer() const {
    if (kind != Kind::number) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

std::string JsonValue::utf8() const {
    std::string out;
    for (std::size_t i = 0; i < string.size(); ++i) {
        char32_t c = string[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < string.size() && string[i + 1] >= 0xDC00 && string[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (string[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<JsonValue> parse_json(std::string_view text, std::string* error) {
    std::string why;
    auto value = Reader(text).document(why);
    if (error != nullptr) *error = why;
    return value;
}

} // namespace sockscope_test
