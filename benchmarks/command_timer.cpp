// Times whole commands side by side: runs each command once per round, in
// turn, for the given number of rounds, and prints every command's median
// wall time in milliseconds, one line each: "<median-ms>\t<command>".
//
//   command_timer ROUNDS COMMAND...
//
// Commands run through /bin/sh with stdin from /dev/null; their output goes
// where it is redirected inside the command.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Wall time of one run in milliseconds; negative when the command failed.
double run_once(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command + " </dev/null").c_str(), static_cast<char*>(nullptr));
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
