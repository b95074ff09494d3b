// SPDX-License-Identifier: MIT
// Finding processes by name, and reading their names, against real
// processes started under names the tests choose.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "linux/directory_entries.h"
#include "linux/proc_fs.h"
#include "linux/process_image.h"
#include "support/child_process.h"
#include "support/own_name.h"

using namespace sockscope_detail;
using sockscope_test::ChildProcess;
using sockscope_test::test_child_named;
using sockscope_test::unique_name;

namespace {

using sockscope_test::utf16;

// The image name of process `id` read through a handle to it, or "<null>".
std::u16string name_of(std::uint32_t id) {
    const ProcRoot root("/proc");
    if (id == 0) return u"<null>";
    const Result<UniqueFd> process = open_process(*root.fd(), id);
    if (!process) return u"<null>";
    ProcessImage image;
    const auto names = image.names(process->get(), id);
    return names && *names ? utf16(std::string((*names)->image)) : u"<null>";
}

TEST(ProcessDirectory, FindsAChildByItsName) {
    const std::string name = unique_name("ssd");
    ChildProcess child(test_child_named(name), {});
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), static_cast<std::uint32_t>(child.pid()));
    EXPECT_EQ(name_of(child.pid()), utf16(name));
}

TEST(ProcessDirectory, TwoOfTheSameNameGiveTheLowerId) {
    const std::string name = unique_name("ssd");
    ChildProcess first(test_child_named(name), {});
    ChildProcess second(test_child_named(name), {});
    const auto lower = static_cast<std::uint32_t>(std::min(first.pid(), second.pid()));
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), lower);
}

TEST(ProcessDirectory, NamesMatchWholeAndCaseSensitively) {
    const std::string name = unique_name("SsdCase");
    ChildProcess child(test_child_named(name), {});
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    sockscope library;
    EXPECT_EQ(library.getProcessId(utf16(lower).c_str()), 0u);
    EXPECT_EQ(library.getProcessId(utf16(name.substr(0, name.size() - 1)).c_str()), 0u);
    EXPECT_EQ(library.getProcessId(utf16(name + "x").c_str()), 0u);
    EXPECT_EQ(library.getProcessId(u""), 0u);
    EXPECT_EQ(library.getProcessId(nullptr), 0u);
}

TEST(ProcessDirectory, NamesLongerThanCommComeOutWhole) {
    const std::string name = unique_name("sockscope-long-image-name-");
    ASSERT_GT(name.size(), 15u);
    ChildProcess child(test_child_named(name), {});
    EXPECT_EQ(name_of(child.pid()), utf16(name));
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), static_cast<std::uint32_t>(child.pid()));
    // The cut comm alone is not the name.
    EXPECT_EQ(sockscope().getProcessId(utf16(name.substr(0, 15)).c_str()), 0u);
}

TEST(ProcessDirectory, NonAsciiNamesAreUtf8) {
    const std::string name = unique_name("caf\xC3\xA9-");
    ChildProcess child(test_child_named(name), {});
    EXPECT_EQ(name_of(child.pid()), utf16(name));
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), static_cast<std::uint32_t>(child.pid()));
}

TEST(ProcessDirectory, EndedProcessHasNoName) {
    const std::string name = unique_name("ssd");
    ChildProcess child(test_child_named(name), {});
    const auto id = static_cast<std::uint32_t>(child.pid());
    child.stop();
    EXPECT_EQ(name_of(id), u"<null>");
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), 0u);
    EXPECT_EQ(name_of(0), u"<null>");
}

TEST(ProcessDirectory, OwnNameAndId) {
    const auto self = static_cast<std::uint32_t>(getpid());
    const std::u16string own = name_of(self);
    EXPECT_NE(own, u"<null>");
    EXPECT_FALSE(own.empty());
}

TEST(ProcFiles, ProcessIdsComeInAscendingOrderAndIncludeOurs) {
    const ProcRoot root("/proc");
    DirectoryBuffer buffer;
    ProcessIds ids(*root.fd(), buffer);
    std::uint32_t id, previous = 0;
    bool saw_self = false;
    Result<bool> more = true;
    while ((more = ids.next(id)) && *more) {
        EXPECT_GT(id, previous);
        previous = id;
        saw_self |= id == static_cast<std::uint32_t>(getpid());
    }
    EXPECT_TRUE(saw_self);
    EXPECT_TRUE(more.ok());
}

// An ended child that was not reaped yet is not a running process.
TEST(ProcessDirectory, AZombieIsNotRunning) {
    const std::string name = unique_name("zmb");
    const std::string program = test_child_named(name);
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // the test child runs until its input ends
        dup2(hold[0], 0);
        close(hold[1]);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(hold[0]);
    const std::u16string wanted = utf16(name);
    sockscope library;
    std::uint32_t running = 0;
    for (int i = 0; i < 200 && running == 0; ++i) { // until it has exec'd
        running = library.getProcessId(wanted.c_str());
        if (running == 0) usleep(10000);
    }
    EXPECT_EQ(running, static_cast<std::uint32_t>(child));

    close(hold[1]); // it ends; we don't reap it yet
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(library.getProcessId(wanted.c_str()), 0u);
    waitpid(child, nullptr, 0);
}

} // namespace
