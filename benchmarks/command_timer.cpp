// SPDX-License-Identifier: MIT
// Times whole commands side by side: runs each command once per round, in
// turn, for the given number of rounds, and prints every command's median
// wall time in milliseconds, one line each: "<median-ms>\t<command>".
//
//   command_timer ROUNDS COMMAND...
//
// Commands run through /bin/sh with stdin from /dev/null; their output goes
// where it is redirected inside the command. Leading NAME=VALUE words set
// the command's environment, as in the shell; they are set before the shell
// starts, so the command itself is exec'd by the shell as always and no
// helper program's start-up is timed with it.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// In the child: sets the leading NAME=VALUE words of `command` in the
// environment and returns the rest.
std::string set_leading_assignments(std::string command) {
    for (;;) {
        const std::size_t end = command.find(' ');
        const std::string word = command.substr(0, end);
        const std::size_t equals = word.find('=');
        const bool is_name = equals != 0 && equals != std::string::npos &&
                             word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
                                 equals &&
                             !std::isdigit(static_cast<unsigned char>(word[0]));
        if (!is_name || end == std::string::npos) return command;
        setenv(word.substr(0, equals).c_str(), word.substr(equals + 1).c_str(), 1);
        command.erase(0, end + 1);
    }
}

// Wall time of one run in milliseconds; negative when the command failed.
double run_once(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const std::string rest = set_leading_assignments(command);
        execl("/bin/sh", "sh", "-c", ("exec " + rest + " </dev/null").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROUNDS COMMAND...\n", argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    const std::vector<std::string> commands(argv + 2, argv + argc);
    std::vector<std::vector<double>> times(commands.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const double elapsed = run_once(commands[i]);
            if (elapsed < 0) {
                std::fprintf(stderr, "command failed: %s\n", commands[i].c_str());
                return 1;
            }
            times[i].push_back(elapsed);
        }
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
        auto& samples = times[i];
        std::sort(samples.begin(), samples.end());
        std::printf("%.2f\t%s\n", samples[samples.size() / 2], commands[i].c_str());
    }
    return 0;
}
