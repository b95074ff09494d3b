// SPDX-License-Identifier: MIT
// sockscope-exporter: the machine's sockets as Prometheus metrics, served
// by prometheus-cpp's HTTP server until SIGINT or SIGTERM.
#include <prometheus/exposer.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <pthread.h>
#include <string_view>
#include <vector>

#include "exporter_options.h"
#include "socket_collector.h"

int main(int argc, char** argv) {
    using namespace sockscope_exporter;
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const ParsedExporterCommandLine parsed = parse_exporter_command_line(arguments);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "sockscope-exporter: %s\nTry 'sockscope-exporter --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options.help) {
        std::fputs(exporter_usage, stdout);
        return 0;
    }
    if (parsed.options.version) {
        std::printf("sockscope-exporter %s\n", SOCKSCOPE_EXPORTER_VERSION);
        return 0;
    }

    // Every thread started from here on (the server's, the stream's) leaves
    // the two signals to the wait below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    const auto collector = std::make_shared<SocketCollector>(parsed.options.collector);
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        // Two threads answer: a scrape that waits for another still
        // collecting leaves one free for the next.
        exposer = std::make_unique<prometheus::Exposer>(parsed.options.listen, 2);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sockscope-exporter: cannot listen on %s: %s\n", parsed.options.listen.c_str(),
                     error.what());
        return 1;
    }
    exposer->RegisterCollectable(collector);
    std::fprintf(stderr, "sockscope-exporter: serving http://%s/metrics\n", parsed.options.listen.c_str());

    int signal = 0;
    sigwait(&stop, &signal);
    exposer.reset();
    return 0;
}
