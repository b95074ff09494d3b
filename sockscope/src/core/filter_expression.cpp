// SPDX-License-Identifier: MIT
#include "core/filter_expression.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstring>

#include "core/conversions.h"
#include "core/tcp_state.h"

namespace sockscope_detail {
namespace {

using Kind = ExpressionNode::Kind;

// Parentheses and `not` nest at most this deep, so that evaluating and
// compiling an expression (both recursive) take a bounded stack.
constexpr int deepest_nesting = 64;

struct Token {
    enum Type { end, word, open, close, negation, conjunction, disjunction, comparison };
    Type type = end;
    std::string_view text;
    std::size_t position = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_operator(char c) { return std::strchr("()!&|=<>", c) != nullptr && c != '\0'; }

// The names and groups of states as ss spells them, as kernel state bits.
std::uint32_t states_named(std::string_view name) {
    using namespace kernel_states;
    constexpr auto bit = [](unsigned state) { return 1u << state; };
    const std::uint32_t syn_recv_bits = bit(syn_recv) | bit(new_syn_recv);
    const std::uint32_t connected = every_kernel_state & ~(bit(listen) | bit(close));
    const std::uint32_t bucket = syn_recv_bits | bit(time_wait);
    struct Named {
        std::string_view name;
        std::uint32_t states;
    };
    const Named names[] = {
        {"established", bit(established)}, {"syn-sent", bit(syn_sent)},     {"syn-recv", syn_recv_bits},
        {"fin-wait-1", bit(fin_wait1)},    {"fin-wait-2", bit(fin_wait2)},   {"time-wait", bit(time_wait)},
        {"closed", bit(close)},            {"close-wait", bit(close_wait)},  {"last-ack", bit(last_ack)},
        {"listening", bit(listen)},        {"closing", bit(closing)},        {"all", every_kernel_state},
        {"connected", connected},          {"synchronized", connected & ~bit(syn_sent)},
        {"bucket", bucket},                {"big", every_kernel_state & ~bucket},
    };
    for (const Named& named : names)
        if (named.name == name) return named.states;
    return 0;
}

// Whether the first `bits` bits of `a` and `b` are the same.
bool same_prefix(const std::uint8_t* a, const std::uint8_t* b, unsigned bits) {
    if (std::memcmp(a, b, bits / 8) != 0) return false;
    if (bits % 8 == 0) return true;
    const unsigned mask = 0xFFu << (8 - bits % 8) & 0xFFu;
    return ((a[bits / 8] ^ b[bits / 8]) & mask) == 0;
}

bool host_matches(const ExpressionNode& test, const SocketRow& row) {
    const std::uint32_t port = port_to_host_order(test.local ? row.local_port : row.remote_port);
    if (test.port >= 0 && static_cast<std::uint32_t>(test.port) != port) return false;
    if (test.family == 0) return true;
    const Address& address = test.local ? row.local_address : row.remote_address;
    const std::uint8_t family = row.family == Family::ipv4 ? 4 : 6;
    if (test.family == family) return same_prefix(address.data(), test.address.data(), test.prefix_length);
    // An IPv4 test and an IPv6 socket's IPv4-mapped address, as the kernel
    // compares them.
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return test.family == 4 && family == 6 && std::memcmp(address.data(), mapped, sizeof mapped) == 0 &&
           same_prefix(address.data() + 12, test.address.data(), test.prefix_length);
}

bool evaluate(const std::vector<ExpressionNode>& nodes, std::uint32_t index, const SocketRow& row) {
    const ExpressionNode& node = nodes[index];
    const auto port = [&] { return port_to_host_order(node.local ? row.local_port : row.remote_port); };
    switch (node.kind) {
    case Kind::all_of:
        for (const std::uint32_t child : node.children)
            if (!evaluate(nodes, child, row)) return false;
        return true;
    case Kind::any_of:
        for (const std::uint32_t child : node.children)
            if (evaluate(nodes, child, row)) return true;
        return false;
    case Kind::negation: return !evaluate(nodes, node.children.front(), row);
    case Kind::port_equal: return port() == static_cast<std::uint32_t>(node.port);
    case Kind::port_at_least: return port() >= static_cast<std::uint32_t>(node.port);
    case Kind::port_at_most: return port() <= static_cast<std::uint32_t>(node.port);
    case Kind::host: return host_matches(node, row);
    }
    return false;
}

template <typename Number>
bool parse_number(std::string_view text, Number& value) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// An IPv4 address, whole or its first one to three numbers ("10.1"), which
// set `prefix` to the bits they give.
bool parse_ipv4(std::string_view text, Address& address, unsigned& prefix) {
    address = {};
    unsigned count = 0;
    for (;;) {
        const std::size_t dot = text.find('.');
        unsigned value = 0;
        if (count == 4 || !parse_number(text.substr(0, dot), value) || value > 255) return false;
        address[count++] = static_cast<std::uint8_t>(value);
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    prefix = 8 * count;
    return true;
}

class Parser {
public:
    Parser(std::string_view text, ServiceLookup services) : text_(text), services_(services) {}

    ExpressionParse run() {
        ExpressionParse parse;
        read_states(parse.expression.states);
        if (error_ == nullptr && peek().type != Token::end) {
            parse_or(0);
            if (error_ == nullptr && peek().type != Token::end)
                fail(peek().position, peek().type == Token::close ? "')' without '('" : "unexpected word");
        }
        parse.error = error_;
        parse.position = error_position_;
        if (error_ == nullptr) parse.expression.nodes = std::move(nodes_);
        return parse;
    }

private:
    // The next token, not taken.
    Token peek() const {
        std::size_t at = at_;
        while (at < text_.size() && is_blank(text_[at])) ++at;
        Token token;
        token.position = at;
        if (at == text_.size()) return token;
        const char c = text_[at];
        std::size_t length = 1;
        const char following = at + 1 < text_.size() ? text_[at + 1] : '\0';
        if (c == '(') token.type = Token::open;
        else if (c == ')') token.type = Token::close;
        else if (c == '!') {
            token.type = following == '=' ? Token::comparison : Token::negation;
            length = following == '=' ? 2 : 1;
        } else if (c == '&' || c == '|') {
            token.type = c == '&' ? Token::conjunction : Token::disjunction;
            length = following == c ? 2 : 1;
        } else if (c == '=' || c == '<' || c == '>') {
            token.type = Token::comparison;
            length = following == '=' ? 2 : 1;
        } else {
            token.type = Token::word;
            while (at + length < text_.size() && !is_blank(text_[at + length]) && !is_operator(text_[at + length]))
                ++length;
            if (token.text = text_.substr(at, length); token.text == "and") token.type = Token::conjunction;
            else if (token.text == "or") token.type = Token::disjunction;
            else if (token.text == "not") token.type = Token::negation;
        }
        token.text = text_.substr(at, length);
        return token;
    }

    Token next() {
        const Token token = peek();
        at_ = token.position + token.text.size();
        return token;
    }

    void fail(std::size_t position, const char* reason) {
        if (error_ != nullptr) return;
        error_ = reason;
        error_position_ = position;
    }

    std::uint32_t add(ExpressionNode node) {
        nodes_.push_back(std::move(node));
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }

    std::uint32_t add_parent(Kind kind, std::vector<std::uint32_t> children) {
        ExpressionNode node;
        node.kind = kind;
        node.children = std::move(children);
        return add(std::move(node));
    }

    void read_states(std::uint32_t& states) {
        bool named = false;
        for (Token word = peek(); word.type == Token::word && (word.text == "state" || word.text == "exclude");
             word = peek()) {
            next();
            const Token name = next();
            const std::uint32_t these = name.type == Token::word ? states_named(name.text) : 0;
            if (these == 0) return fail(name.position, "not a state (established, syn-sent, ..., listening, closing, "
                                                       "all, connected, synchronized, bucket, big)");
            if (word.text == "state") states = (named ? states : 0) | these;
            else states = (named ? states : every_kernel_state) & ~these;
            named = true;
        }
    }

    // Each parse_ function returns the index of the node it made; after a
    // failure, its value is not used.
    std::uint32_t parse_or(int depth) {
        std::vector<std::uint32_t> terms{parse_and(depth)};
        while (error_ == nullptr && peek().type == Token::disjunction) {
            next();
            terms.push_back(parse_and(depth));
        }
        return terms.size() == 1 ? terms.front() : add_parent(Kind::any_of, std::move(terms));
    }

    std::uint32_t parse_and(int depth) {
        std::vector<std::uint32_t> factors{parse_unary(depth)};
        for (;;) {
            if (error_ != nullptr) break;
            const Token token = peek();
            if (token.type == Token::conjunction) next();
            else if (token.type != Token::word && token.type != Token::negation && token.type != Token::open) break;
            factors.push_back(parse_unary(depth)); // two tests side by side: both hold
        }
        return factors.size() == 1 ? factors.front() : add_parent(Kind::all_of, std::move(factors));
    }

    std::uint32_t parse_unary(int depth) {
        const Token token = next();
        if ((token.type == Token::negation || token.type == Token::open) && depth == deepest_nesting) {
            fail(token.position, "nested too deeply");
            return 0;
        }
        if (token.type == Token::negation) return add_parent(Kind::negation, {parse_unary(depth + 1)});
        if (token.type == Token::open) {
            const std::uint32_t inside = parse_or(depth + 1);
            if (const Token close = next(); close.type != Token::close) fail(close.position, "')' expected");
            return inside;
        }
        if (token.type == Token::word && (token.text == "sport" || token.text == "dport")) return parse_port_test(token);
        if (token.type == Token::word && (token.text == "src" || token.text == "dst")) return parse_host_test(token);
        if (token.type == Token::word && (token.text == "state" || token.text == "exclude"))
            fail(token.position, "state and exclude come before the other tests");
        else if (token.type == Token::end)
            fail(token.position, "the expression ends too early");
        else
            fail(token.position, "sport, dport, src, dst, not or '(' expected");
        return 0;
    }

    // A comparison's sign or word, or "" when the next token is none.
    std::string_view take_comparison() {
        const Token token = peek();
        static constexpr std::string_view words[][2] = {{"eq", "="},  {"ne", "!="}, {"neq", "!="}, {"lt", "<"},
                                                        {"gt", ">"},  {"le", "<="}, {"leq", "<="}, {"ge", ">="},
                                                        {"geq", ">="}};
        if (token.type == Token::comparison) {
            next();
            return token.text == "==" ? "=" : token.text;
        }
        if (token.type == Token::word)
            for (const auto& [word, sign] : words)
                if (token.text == word) {
                    next();
                    return sign;
                }
        return "";
    }

    // A port: a number up to 65535 or a service name, after an optional ':'.
    bool read_port(std::string_view text, std::size_t position, std::uint16_t& port) {
        if (!text.empty() && text.front() == ':') text.remove_prefix(1);
        unsigned value = 0;
        if (!text.empty() && text.front() >= '0' && text.front() <= '9') {
            if (parse_number(text, value) && value <= 65535) {
                port = static_cast<std::uint16_t>(value);
                return true;
            }
            fail(position, "not a port number (0 to 65535)");
            return false;
        }
        if (text.empty()) {
            fail(position, "a port expected");
            return false;
        }
        if (services_ == nullptr || !services_(std::string(text), port)) {
            fail(position, "not a port number or a known service name");
            return false;
        }
        return true;
    }

    std::uint32_t parse_port_test(const Token& which) {
        const std::string_view sign = take_comparison();
        const Token value = next();
        std::uint16_t port = 0;
        if (value.type != Token::word) {
            fail(value.position, "a port expected");
            return 0;
        }
        if (!read_port(value.text, value.position, port)) return 0;
        ExpressionNode test;
        test.local = which.text == "sport";
        test.port = port;
        // < and > are the negations of >= and <=, as != is of =.
        const bool negated = sign == "!=" || sign == "<" || sign == ">";
        test.kind = sign == "<" || sign == ">=" ? Kind::port_at_least
                    : sign == ">" || sign == "<=" ? Kind::port_at_most
                                                  : Kind::port_equal;
        const std::uint32_t index = add(std::move(test));
        return negated ? add_parent(Kind::negation, {index}) : index;
    }

    std::uint32_t parse_host_test(const Token& which) {
        const Token sign_token = peek();
        const std::string_view sign = take_comparison();
        if (!sign.empty() && sign != "=" && sign != "!=") {
            fail(sign_token.position, "an address is compared with = or != only");
            return 0;
        }
        const Token value = next();
        ExpressionNode test;
        test.kind = Kind::host;
        test.local = which.text == "src";
        if (value.type != Token::word) {
            fail(value.position, "an address expected");
            return 0;
        }
        if (const char* error = read_host(value.text, value.position, test); error != nullptr) {
            fail(value.position, error);
            return 0;
        }
        if (error_ != nullptr) return 0; // a port that failed
        const std::uint32_t index = add(std::move(test));
        return sign == "!=" ? add_parent(Kind::negation, {index}) : index;
    }

    // Reads `text` (an address, prefix, [v6], with :port or not) into
    // `test`; returns the reason it can't.
    const char* read_host(std::string_view text, std::size_t position, ExpressionNode& test) {
        std::string_view address = text, port;
        if (!text.empty() && text.front() == '[') {
            const std::size_t close = text.find(']');
            if (close == std::string_view::npos) return "']' missing";
            address = text.substr(1, close - 1);
            std::string_view rest = text.substr(close + 1);
            // "[v6]/64" as "[v6/64]".
            std::string joined;
            if (!rest.empty() && rest.front() == '/') {
                const std::size_t colon = rest.find(':');
                joined = std::string(address) + std::string(rest.substr(0, colon));
                address = joined;
                rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon);
            }
            if (!rest.empty() && rest.front() != ':') return "':' and a port expected after ']'";
            if (!rest.empty()) port = rest.substr(1);
            if (const char* error = read_address(address, test); error != nullptr) return error;
            if (rest.empty()) return nullptr;
        } else {
            const std::size_t colon = text.find(':');
            const bool ipv6 = colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos;
            if (!ipv6 && colon != std::string_view::npos) {
                address = text.substr(0, colon);
                port = text.substr(colon + 1);
            }
            if (const char* error = read_address(address, test); error != nullptr) return error;
            if (ipv6 || colon == std::string_view::npos) return nullptr;
        }
        if (port == "*") return nullptr;
        std::uint16_t number = 0;
        if (read_port(port, position, number)) test.port = number;
        return nullptr;
    }

    static const char* read_address(std::string_view text, ExpressionNode& test) {
        if (text.empty() || text == "*") return nullptr; // any address
        const std::size_t slash = text.find('/');
        const std::string address(text.substr(0, slash));
        unsigned prefix = 0;
        if (parse_ipv4(address, test.address, prefix)) {
            test.family = 4;
        } else if (inet_pton(AF_INET6, address.c_str(), test.address.data()) == 1) {
            test.family = 6;
            prefix = 128;
        } else {
            return "not an address (a.b.c.d, [v6], with /prefix, :port, or *)";
        }
        if (slash != std::string_view::npos) {
            const unsigned most = test.family == 4 ? 32 : 128;
            if (!parse_number(text.substr(slash + 1), prefix) || prefix > most) return "not a prefix length";
        } else if (test.family == 4 && prefix < 32 && address.find('.') == std::string::npos) {
            // A bare number is no address; "10.1" is a prefix of 16 bits.
            return "not an address (a.b.c.d, [v6], with /prefix, :port, or *)";
        }
        test.prefix_length = static_cast<std::uint8_t>(prefix);
        return nullptr;
    }

    std::string_view text_;
    ServiceLookup services_;
    std::size_t at_ = 0;
    std::vector<ExpressionNode> nodes_;
    const char* error_ = nullptr;
    std::size_t error_position_ = 0;
};

} // namespace

bool FilterExpression::matches(const SocketRow& row) const {
    return nodes.empty() || evaluate(nodes, static_cast<std::uint32_t>(nodes.size() - 1), row);
}

ExpressionParse parse_filter_expression(std::string_view text, ServiceLookup services) {
    return Parser(text, services).run();
}

} // namespace sockscope_detail
