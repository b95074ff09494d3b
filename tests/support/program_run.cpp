// SPDX-License-Identifier: MIT
#include "program_run.h"

#include "isolated_child.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sockscope_test {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int open_terminal(std::string& follower) {
    const int leader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (leader < 0 || grantpt(leader) != 0 || unlockpt(leader) != 0) throw std::runtime_error("no pseudo-terminal");
    follower = ptsname(leader);
    return leader;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void become(const std::string& path, char* const* argv, char* const* envp, const std::string& out,
                         const std::string& err, const std::string& terminal, const RunOptions& options) {
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    const int error = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(error, STDERR_FILENO);
    switch (options.output) {
    case Stdout::file:
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        break;
    case Stdout::terminal: {
        setsid();
        const int follower = open(terminal.c_str(), O_RDWR);
        termios settings;
        if (tcgetattr(follower, &settings) == 0) {
            settings.c_oflag &= ~OPOST; // "\n" stays "\n"
            tcsetattr(follower, TCSANOW, &settings);
        }
        winsize size{options.terminal_rows, options.terminal_columns, 0, 0};
        ioctl(follower, TIOCSWINSZ, &size);
        dup2(follower, STDOUT_FILENO);
        break;
    }
    case Stdout::dev_full:
        dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        break;
    case Stdout::closed:
        close(STDOUT_FILENO);
        break;
    case Stdout::stalled_pipe:
        dup2(open(out.c_str(), O_WRONLY), STDOUT_FILENO);
        break;
    case Stdout::broken_pipe: {
        int ends[2];
        if (pipe(ends) != 0) _exit(126);
        close(ends[0]);
        dup2(ends[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_IGN); // stays ignored across exec
        break;
    }
    }
    // Out of the bounding set, a capability is not among root's after exec.
    for (const int capability : options.without_capabilities)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) _exit(126);
    if (options.refuse_setns && !refuse_setns()) _exit(126);
    if (options.user >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.user)) != 0 || setuid(static_cast<uid_t>(options.user)) != 0))
        _exit(126);
    execve(path.c_str(), argv, envp);
    _exit(127);
}

} // namespace

RunningProgram::RunningProgram(const std::string& path, const RunOptions& options) {
    char pattern[] = "/tmp/sockscope-run-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    if (options.user >= 0) chmod(pattern, 0777);
    const std::string out = folder_ + "/out", err = folder_ + "/err";
    std::string follower;
    if (options.output == Stdout::terminal) terminal_ = open_terminal(follower);
    // A named pipe, opened here first so that the child's open finds a reader.
    if (options.output == Stdout::stalled_pipe &&
        (mkfifo(out.c_str(), 0600) != 0 || (stalled_ = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0))
        throw std::runtime_error("no named pipe");

    std::vector<std::string> words{path};
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        bool keep = true;
        for (const auto& unset : options.unset_environment) keep = keep && unset != name;
        for (const auto& set : options.set_environment) keep = keep && set.first != name;
        if (keep) environment.push_back(variable);
    }
    for (const auto& [name, value] : options.set_environment) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    // Its output goes to files or the terminal: the report pipe goes unused
    // and is closed at exec.
    child_.emplace([&](int) { become(path, argv.data(), envp.data(), out, err, follower, options); });
    if (child_->pid() < 0) throw std::runtime_error("fork failed");
    deadline_ = ForkedChild::Clock::now() + options.timeout;
    child_->close_report();
}

void RunningProgram::pump_terminal(int wait_ms) {
    if (terminal_ < 0) {
        if (wait_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        return;
    }
    pollfd waiting{terminal_, POLLIN, 0};
    if (poll(&waiting, 1, wait_ms) <= 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(terminal_, buffer, sizeof buffer);
        if (got <= 0) return;
        terminal_output_.append(buffer, static_cast<std::size_t>(got));
        if (poll(&waiting, 1, 0) <= 0) return;
    }
}

std::string RunningProgram::errors_so_far() const { return slurp(folder_ + "/err"); }

std::size_t RunningProgram::unread_output() const {
    int waiting = 0;
    return stalled_ >= 0 && ioctl(stalled_, FIONREAD, &waiting) == 0 ? static_cast<std::size_t>(waiting) : 0;
}

std::string RunningProgram::output_so_far() {
    if (stalled_ >= 0) return "";
    if (terminal_ >= 0) {
        pump_terminal(0);
        return terminal_output_;
    }
    return slurp(folder_ + "/out");
}

bool RunningProgram::wait_for_output(const std::string& text, int times, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string output = output_so_far();
        int found = 0;
        for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size()))
            if (++found >= times) return true;
        if (child_->ended()) return false;
        pump_terminal(10);
    }
    return false;
}

ProgramResult RunningProgram::finish() {
    ProgramResult result;
    if (!child_->wait_until(deadline_, [this] { pump_terminal(10); })) {
        child_->stop(SIGKILL, std::chrono::milliseconds(0));
        result.timed_out = true;
    }
    const int status = child_->status();
    // A terminal reports EIO once the last writer is gone; take what is left.
    if (terminal_ >= 0) {
        for (int i = 0; i < 100; ++i) {
            const std::size_t before = terminal_output_.size();
            pump_terminal(i == 0 ? 20 : 0);
            if (terminal_output_.size() == before) break;
        }
        result.out = terminal_output_;
    } else if (stalled_ >= 0) {
        char buffer[4096];
        for (ssize_t got; (got = read(stalled_, buffer, sizeof buffer)) > 0;)
            result.out.append(buffer, static_cast<std::size_t>(got));
    } else {
        result.out = slurp(folder_ + "/out");
    }
    result.err = slurp(folder_ + "/err");
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

RunningProgram::~RunningProgram() {
    child_->stop(SIGKILL, std::chrono::milliseconds(0));
    if (terminal_ >= 0) close(terminal_);
    if (stalled_ >= 0) close(stalled_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

ProgramResult run_program(const std::string& path, const RunOptions& options) {
    RunningProgram program(path, options);
    return program.finish();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    for (auto& line : lines_of(text))
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

} // namespace sockscope_test
