// SPDX-License-Identifier: MIT
#include "child_process.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
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
    int to_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // Its standard output is the report: the ports, then "ready".
    child_.emplace([&](int report) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(report, STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
    close(to_child[0]);
    input_ = to_child[1];
    if (child_->pid() < 0) {
        stop();
        throw std::runtime_error("fork failed");
    }

    const auto deadline = ForkedChild::Clock::now() + std::chrono::seconds(10);
    std::string line;
    bool ready = false;
    while (child_->read_line(line, deadline)) {
        if (line == "ready") {
            ready = true;
            break;
        }
        ports_.push_back(static_cast<unsigned>(std::stoul(line)));
    }
    child_->close_report();
    if (!ready) {
        stop();
        throw std::runtime_error("test child did not start: " + program);
    }
}

pid_t ChildProcess::pid() const { return child_ ? child_->pid() : -1; }

void ChildProcess::stop() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    // The child ends when its input closes; give it a few seconds, then kill.
    if (child_) child_->stop(0, std::chrono::seconds(5));
}

ChildProcess::~ChildProcess() { stop(); }

} // namespace sockscope_test
