// SPDX-License-Identifier: MIT
// sockscope-exporter's command line, parsed without side effects.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "socket_collector.h"

namespace sockscope_exporter {

// The port asked of whoever keeps the list of the exporters' ports.
inline constexpr const char* default_listen = "127.0.0.1:9814";

struct ExporterOptions {
    std::string listen = default_listen; // ADDRESS:PORT, [IPv6]:PORT
    CollectorOptions collector;
    bool help = false, version = false;
};

struct ParsedExporterCommandLine {
    ExporterOptions options;
    std::string error; // empty: parsed
};

ParsedExporterCommandLine parse_exporter_command_line(std::span<const std::string_view> arguments);

extern const char* const exporter_usage;

} // namespace sockscope_exporter
