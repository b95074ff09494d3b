// SPDX-License-Identifier: MIT
#include "core/socket_summary.h"

#include <array>
#include <vector>

#include "core/decimal.h"

namespace sockscope_detail {

namespace {

// The words of a line, split at blanks.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const std::size_t end = line.find(' ');
        words.push_back(line.substr(0, end));
        line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    }
    return words;
}

// The lines of `text` whose first word is `key` (with its colon), each
// without that word.
std::vector<std::string_view> lines_of(std::string_view text, std::string_view key) {
    std::vector<std::string_view> found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ')
            found.push_back(line.substr(key.size() + 1));
        else if (line == key)
            found.push_back({});
    }
    return found;
}

std::string quoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return quoted;
}

// One file's text: its name for errors, and a check that it is whole.
class SummaryFile {
public:
    SummaryFile(const char* name, std::string_view text) : name_(name), text_(text) {}

    // "" when the text ends with its newline, as the kernel writes it.
    std::string whole() const {
        if (text_.empty()) return std::string(name_) + ": empty";
        if (text_.back() != '\n') return std::string(name_) + ": cut short (no newline at its end)";
        return "";
    }

    // The counts named `names` on the one line of `key` ("TCP:"), as
    // "name count name count ..."; "" or what is wrong.
    template <std::size_t Count>
    std::string counts(const char* key, const std::array<const char*, Count>& names,
                       const std::array<std::uint64_t*, Count>& values) const {
        const std::vector<std::string_view> lines = lines_of(text_, key);
        if (lines.empty()) return fault("no " + quoted(key) + " line");
        if (lines.size() > 1) return fault(quoted(key) + " line given twice");
        const std::vector<std::string_view> words = words_of(lines.front());
        const std::string line = "line " + quoted(key) + ": ";
        if (words.size() % 2 != 0) return fault(line + "its names and counts do not pair up");
        for (std::size_t i = 0; i < Count; ++i) {
            bool seen = false;
            for (std::size_t word = 0; word < words.size(); word += 2) {
                if (words[word] != names[i]) continue;
                if (seen) return fault(line + quoted(names[i]) + " given twice");
                seen = true;
                if (!parse_number(words[word + 1], *values[i]))
                    return fault(line + quoted(names[i]) + " is not a count");
            }
            if (!seen) return fault(line + "no " + quoted(names[i]));
        }
        return "";
    }

    // The value of column `name` of the table `key` ("Tcp:"), a line of
    // names over a line of values; "" or what is wrong.
    std::string column(const char* key, std::string_view name, std::uint64_t& value) const {
        const std::vector<std::string_view> lines = lines_of(text_, key);
        if (lines.size() != 2)
            return fault(lines.empty() ? "no " + quoted(key) + " lines"
                                       : quoted(key) + " lines: 2 expected (names, then values), " +
                                             std::to_string(lines.size()) + " found");
        const std::vector<std::string_view> names = words_of(lines[0]), values = words_of(lines[1]);
        const std::string table = quoted(key) + " lines: ";
        if (names.size() != values.size()) return fault(table + "the names and the values differ in number");
        bool seen = false;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] != name) continue;
            if (seen) return fault(table + quoted(name) + " given twice");
            seen = true;
            if (!parse_number(values[i], value)) return fault(table + quoted(name) + " is not a count");
        }
        return seen ? "" : fault(table + "no " + quoted(name));
    }

private:
    std::string fault(const std::string& what) const { return std::string(name_) + ": " + what; }

    const char* name_;
    std::string_view text_;
};

} // namespace

std::string parse_socket_summary(std::string_view sockstat, std::optional<std::string_view> sockstat6,
                                 std::string_view snmp, SocketSummary& summary) {
    SocketSummary read;
    const SummaryFile four("sockstat", sockstat), netstat("snmp", snmp);
    std::string fault = four.whole();
    if (fault.empty()) fault = netstat.whole();
    if (fault.empty()) fault = four.counts<1>("sockets:", {"used"}, {&read.sockets_used});
    if (fault.empty())
        fault = four.counts<4>("TCP:", {"inuse", "orphan", "tw", "alloc"},
                               {&read.tcp4, &read.tcp_orphans, &read.tcp_time_wait, &read.tcp_allocated});
    if (fault.empty()) fault = four.counts<1>("UDP:", {"inuse"}, {&read.udp4});
    if (fault.empty()) fault = four.counts<1>("RAW:", {"inuse"}, {&read.raw4});
    if (fault.empty()) fault = four.counts<1>("FRAG:", {"inuse"}, {&read.frag4});
    if (fault.empty()) fault = netstat.column("Tcp:", "CurrEstab", read.tcp_established);
    read.has_ipv6 = sockstat6.has_value();
    if (sockstat6) {
        const SummaryFile six("sockstat6", *sockstat6);
        if (fault.empty()) fault = six.whole();
        if (fault.empty()) fault = six.counts<1>("TCP6:", {"inuse"}, {&read.tcp6});
        if (fault.empty()) fault = six.counts<1>("UDP6:", {"inuse"}, {&read.udp6});
        if (fault.empty()) fault = six.counts<1>("RAW6:", {"inuse"}, {&read.raw6});
        if (fault.empty()) fault = six.counts<1>("FRAG6:", {"inuse"}, {&read.frag6});
    }
    if (fault.empty()) summary = read;
    return fault;
}

} // namespace sockscope_detail
