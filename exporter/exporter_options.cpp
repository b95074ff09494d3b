// SPDX-License-Identifier: MIT
#include "exporter_options.h"

#include <charconv>
#include <cstdint>

namespace sockscope_exporter {

const char* const exporter_usage =
    "Usage: sockscope-exporter [OPTION]...\n"
    "Serves the machine's TCP and UDP sockets, with the processes and containers\n"
    "that own them, as Prometheus metrics at http://ADDRESS:PORT/metrics.\n"
    "\n"
    "  -l, --listen ADDRESS:PORT  where to listen (default 127.0.0.1:9814;\n"
    "                             an IPv6 address in brackets: [::1]:9814)\n"
    "  -A, --all-namespaces       every network namespace, not only the exporter's\n"
    "      --no-stream            don't read the connection stream: connections that\n"
    "                             open and close between two scrapes are not counted\n"
    "      --max-label-sets N     distinct label sets per metric (default 1000);\n"
    "                             the rest is counted in one series whose labels\n"
    "                             are \"_other\" (0: no limit)\n"
    "      --scrape-wait SECONDS  how long a scrape waits for one still collecting\n"
    "                             before it is served the previous result (default 5)\n"
    "  -h, --help                 this text\n"
    "  -V, --version              the version\n";

namespace {

bool whole_number(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= max;
}

// ADDRESS:PORT with a port from 1 to 65535; an IPv6 address in brackets.
bool listen_address(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::uint64_t port = 0;
    if (!whole_number(text.substr(colon + 1), 65535, port) || port == 0) return false;
    const std::string_view host = text.substr(0, colon);
    if (host.front() == '[') return host.size() > 2 && host.back() == ']';
    return host.find(':') == std::string_view::npos;
}

} // namespace

ParsedExporterCommandLine parse_exporter_command_line(std::span<const std::string_view> arguments) {
    ParsedExporterCommandLine parsed;
    ExporterOptions& options = parsed.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        std::string_view value;
        bool has_value = false;
        if (argument.starts_with("--") && argument.find('=') != std::string_view::npos) {
            value = argument.substr(argument.find('=') + 1);
            argument = argument.substr(0, argument.find('='));
            has_value = true;
        }
        const auto take_value = [&]() -> bool {
            if (has_value) return true;
            if (i + 1 >= arguments.size()) return false;
            value = arguments[++i];
            return true;
        };
        const auto fail = [&](std::string why) {
            parsed.error = std::move(why);
            return parsed;
        };
        if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "-V" || argument == "--version") {
            options.version = true;
        } else if (argument == "-A" || argument == "--all-namespaces") {
            options.collector.all_namespaces = true;
        } else if (argument == "--no-stream") {
            options.collector.stream = false;
        } else if (argument == "-l" || argument == "--listen") {
            if (!take_value()) return fail(std::string(argument) + " needs ADDRESS:PORT");
            if (!listen_address(value)) return fail("not an ADDRESS:PORT: " + std::string(value));
            options.listen = value;
        } else if (argument == "--max-label-sets") {
            std::uint64_t count = 0;
            if (!take_value() || !whole_number(value, 1000000, count))
                return fail("--max-label-sets needs a count from 0 to 1000000");
            options.collector.max_label_sets = count;
        } else if (argument == "--scrape-wait") {
            std::uint64_t seconds = 0;
            if (!take_value() || !whole_number(value, 3600, seconds))
                return fail("--scrape-wait needs whole seconds from 0 to 3600");
            options.collector.scrape_wait = std::chrono::seconds(seconds);
        } else {
            return fail("unknown option " + std::string(arguments[i]));
        }
        if (has_value && !(argument == "--listen" || argument == "--max-label-sets" || argument == "--scrape-wait"))
            return fail(std::string(argument) + " takes no value");
    }
    return parsed;
}

} // namespace sockscope_exporter
