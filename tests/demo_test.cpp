// The built console program, run as a user would: stdin at end of file,
// stdout to a file.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "support/loopback_sockets.h"
#include "support/own_name.h"

using sockscope_test::TestSocket;
using sockscope_test::own_name;

namespace {

struct DemoRun {
    int exit_code;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

DemoRun run_demo(const std::string& arguments) {
    char folder[] = "/tmp/sockscope-demo-XXXXXX";
    if (mkdtemp(folder) == nullptr) return {-1, "", ""};
    const std::string out = std::string(folder) + "/out", err = std::string(folder) + "/err";
    const std::string command = std::string(SOCKSCOPE_DEMO) + " " + arguments + " </dev/null >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    DemoRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    rmdir(folder);
    return run;
}

TEST(Demo, PrintsTheListenerLineAndEndsAtEndOfInput) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const DemoRun run = run_demo("--any arguments are ignored");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    const std::string line = "127.0.0.1 " + std::to_string(listener.port()) + " 0.0.0.0 0 " +
                             std::to_string(getpid()) + " " + own_name() + " LISTEN\n";
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;

    // Seven fields, single spaces, no padding, on every line.
    std::istringstream lines(run.out);
    std::string each;
    while (std::getline(lines, each)) {
        EXPECT_EQ(std::count(each.begin(), each.end(), ' '), 6) << each;
        EXPECT_EQ(each.find("  "), std::string::npos) << each;
    }
}

} // namespace
