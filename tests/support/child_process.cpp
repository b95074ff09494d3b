// SPDX-License-Identifier: MIT
#include "child_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sockscope_test {
namespace {

namespace fs = std::filesystem;

// Removes the folder of copied programs when the test program ends.
struct CopiesFolder {
    fs::path path;
    CopiesFolder() {
        char pattern[] = "/tmp/sockscope-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~CopiesFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

const fs::path& copies_folder() {
    static CopiesFolder folder;
    return folder.path;
}

// Reads one line from fd, waiting at most until `deadline`.
bool read_line(int fd, std::string& line, std::chrono::steady_clock::time_point deadline) {
    line.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char c;
        const ssize_t got = read(fd, &c, 1);
        if (got <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

} // namespace

std::string test_child_named(const std::string& name) { return program_named(SOCKSCOPE_TEST_CHILD, name); }

std::string program_named(const std::string& program, const std::string& name) {
    const fs::path copy = copies_folder() / name;
    if (!fs::exists(copy)) fs::copy_file(program, copy);
    return copy.string();
}

std::string unique_name(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    return stem + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    input_ = to_child[1];

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string line;
    bool ready = false;
    while (read_line(from_child[0], line, deadline)) {
        if (line == "ready") {
            ready = true;
            break;
        }
        ports_.push_back(static_cast<unsigned>(std::stoul(line)));
    }
    close(from_child[0]);
    if (!ready) {
        stop();
        throw std::runtime_error("test child did not start: " + program);
    }
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    if (input_ >= 0) close(input_);
    input_ = -1;
    // The child ends when its input closes; give it a few seconds, then kill.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
}

ChildProcess::~ChildProcess() { stop(); }

} // namespace sockscope_test
