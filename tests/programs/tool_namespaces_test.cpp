// SPDX-License-Identifier: MIT
// sockscope -A, --netns and --container against namespaces and cgroups the
// tests make: a listener in a Docker-named cgroup in a namespace of its
// own, a named namespace with a hostile name, and a caller that may not
// enter namespaces.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/network_namespaces.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

// A piped -A line's fields: Netns and Container come after State.
namespace every {
constexpr std::size_t netns = 8, container = 9, owners = 11;
}

// A container id of 64 hex digits that no other run uses.
std::string unique_container_id() {
    char start[17];
    std::snprintf(start, sizeof start, "%08x%08x", static_cast<unsigned>(getpid()), static_cast<unsigned>(time(nullptr)));
    return start + std::string(48, 'c');
}

std::vector<std::vector<std::string>> lines_in(const std::string& output, const std::string& netns) {
    std::vector<std::vector<std::string>> found;
    for (const auto& line : lines_of(output))
        if (auto fields = fields_of(line); fields.size() > every::owners && fields[every::netns] == netns)
            found.push_back(std::move(fields));
    return found;
}

TEST(ToolNamespaces, AContainersListenerShowsItsNamespaceAndContainerAndIsFoundByThem) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces and cgroups";
    const std::string id = unique_container_id(), cgroup = "/system.slice/docker-" + id + ".scope";
    const TestCgroup docker(cgroup);
    if (!docker.made()) GTEST_SKIP() << "cannot make cgroups here";
    const NamespacedListener listener(0, &docker);
    ASSERT_TRUE(listener.ready());
    const std::string port = std::to_string(listener.port()), pid = std::to_string(listener.pid());
    const std::string inode = std::to_string(netns_of(listener.pid()));

    const auto run = run_tool({"-Al", "--port", port});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const auto lines = lines_in(run.out, inode);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines[0][field::state], "LISTEN");
    EXPECT_EQ(lines[0][every::container], id.substr(0, 12));
    EXPECT_EQ(lines[0][every::owners].rfind(pid + "/", 0), 0u) << lines[0][every::owners];
    // Without -A only this namespace is read.
    for (const auto& line : lines_at(run_tool({"-l", "--port", port}).out, "127.0.0.1", listener.port()))
        EXPECT_NE(line[field::owners].rfind(pid + "/", 0), 0u);

    // JSON: the namespace, the owner's cgroup and whole container id.
    const auto rows = run_json({"-Al", "--port", port});
    const auto in_it = std::find_if(rows.begin(), rows.end(), [&](const JsonValue& row) { return std::to_string(number(row, "netns")) == inode; });
    ASSERT_NE(in_it, rows.end());
    EXPECT_TRUE(is_null(*in_it, "netns_name"));
    const JsonValue& owner = in_it->member("owners")->array.at(0);
    EXPECT_EQ(text(owner, "cgroup"), cgroup);
    EXPECT_EQ(text(owner, "container"), id);
    // Without -A too, every socket carries its namespace and every owner
    // its cgroup.
    // This process's alone: another may listen on the same port at another
    // address.
    const auto own = TestSocket::tcp_listener("127.0.0.1");
    const auto here = run_json({"-l", "--port", std::to_string(own.port()), "--pid", std::to_string(getpid())});
    ASSERT_EQ(here.size(), 1u);
    EXPECT_EQ(number(here[0], "netns"), static_cast<std::int64_t>(netns_of(0)));
    EXPECT_EQ(text(here[0].member("owners")->array.at(0), "cgroup").rfind('/', 0), 0u);

    // --netns by inode, --container by the start of the id in any case:
    // only the listener's namespace and container.
    std::string start = id.substr(0, 9);
    std::transform(start.begin(), start.end(), start.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    for (const auto& filter : {std::vector<std::string>{"--netns", inode}, {"--container", start}, {"--container", id}}) {
        const auto found = run_json({"-l", filter[0], filter[1]});
        EXPECT_FALSE(found.empty()) << filter[1];
        for (const auto& row : found) EXPECT_EQ(std::to_string(number(row, "netns")), inode) << filter[1];
    }
    EXPECT_TRUE(run_json({"-l", "--container", id + "0"}).empty());
}

TEST(ToolNamespaces, ANamedNamespaceIsFoundByItsHostileNameWhichIsEscaped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    // Blanks, a backslash, control characters, and a byte that is no
    // character, which the library makes U+FFFD.
    const std::string start = unique_name("ns"), name = start + " a\tb\\c\n\x1b[2J\xff";
    const NamedNamespace named(name, 0);
    ASSERT_TRUE(named.ready());
    const std::string escaped = start + "\\040a\\011b\\134c\\012\\033[2J\xef\xbf\xbd";

    const auto run = run_tool({"-l", "--netns", name});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(fields_of(lines[0]).at(every::netns), escaped);
    EXPECT_EQ(fields_of(lines[0]).at(every::container), "-");
    const auto rows = run_json({"-l", "--netns", std::to_string(named.inode())});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(text(rows[0], "netns_name"), start + " a\tb\\c\n\x1b[2J\xef\xbf\xbd");

    // A name that no namespace has is an error; one line says so.
    const auto unknown = run_tool({"--netns", name + "-gone"});
    EXPECT_EQ(unknown.exit_code, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(lines_with(unknown.err, "--netns: no network namespace is named ").size(), 1u) << unknown.err;
}

// A named namespace no process is in can only be entered, which takes
// CAP_SYS_ADMIN: without it, its sockets are missing and a note says so.
TEST(ToolNamespaces, ACallerWhoMayNotEnterNamespacesIsToldSomeWereSkipped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    const std::string name = unique_name("ns-closed");
    const NamedNamespace named(name, 0);
    ASSERT_TRUE(named.ready());
    RunOptions restricted = tool_options({"-Al"});
    restricted.without_capabilities = {CAP_SYS_ADMIN};
    const auto run = run_program(SOCKSCOPE_TOOL, restricted);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const auto notes = lines_with(run.err, " could not be read, so ");
    ASSERT_EQ(notes.size(), 1u) << run.err;
    EXPECT_EQ(notes[0].rfind("sockscope: note: ", 0), 0u) << notes[0];
    EXPECT_NE(notes[0].find(" missing (reading every namespace takes CAP_SYS_ADMIN; root has it)"), std::string::npos);
    EXPECT_TRUE(lines_in(run.out, name).empty());
    EXPECT_EQ(lines_with(run_tool({"-Al"}).err, " could not be read, so ").size(), 0u);

    // Root refused setns all the same (a seccomp profile): the note says
    // so, not that root would have it.
    RunOptions refused = tool_options({"-Al"});
    refused.refuse_setns = true;
    const auto root_run = run_program(SOCKSCOPE_TOOL, refused);
    EXPECT_EQ(root_run.exit_code, 0) << root_run.err;
    const auto root_notes = lines_with(root_run.err, " could not be read, so ");
    ASSERT_EQ(root_notes.size(), 1u) << root_run.err;
    EXPECT_NE(root_notes[0].find("refused even this run, which has CAP_SYS_ADMIN)"), std::string::npos) << root_notes[0];
}

// Entries under /run/netns that are no network namespace: -A finishes and
// counts none of them, --netns refuses each like an unknown name; a named
// namespace the caller can't read is an error of its own.
TEST(ToolNamespaces, EntriesThatAreNoNetworkNamespaceAreNeitherOpenedNorCounted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces and mounts";
    const std::string fault = run_isolated([]() -> std::string {
        if (!private_netns_folder() || unshare(CLONE_NEWUTS) != 0) return "skip: no namespaces of its own";
        close(open("/run/netns/plain", O_CREAT | O_WRONLY | O_CLOEXEC, 0444));
        close(open("/run/netns/uts", O_CREAT | O_WRONLY | O_CLOEXEC, 0444));
        if (mkfifo("/run/netns/fifo", 0644) != 0 || symlink("/dev/null", "/run/netns/null") != 0 ||
            symlink("/run/netns/gone", "/run/netns/dangling") != 0 ||
            mount("/proc/self/ns/uts", "/run/netns/uts", nullptr, MS_BIND, nullptr) != 0 ||
            std::system("ip netns add closed") != 0)
            return "cannot make the entries";
        std::string problems;
        const auto run = run_tool({"-A"});
        if (run.exit_code != 0 || !lines_with(run.err, " could not be read").empty())
            problems += "-A: status " + std::to_string(run.exit_code) + ", " + run.err + "; ";
        for (const char* entry : {"plain", "uts", "fifo", "null", "dangling"}) {
            const auto refused = run_tool({"--netns", entry});
            if (refused.exit_code != 1 || lines_with(refused.err, "--netns: no network namespace is named").size() != 1)
                problems += std::string("--netns ") + entry + ": status " + std::to_string(refused.exit_code) + "; ";
        }
        RunOptions nobody = tool_options({"--netns", "closed"});
        nobody.user = 65534;
        const auto closed = run_program(SOCKSCOPE_TOOL, nobody);
        if (closed.exit_code != 1 ||
            lines_with(closed.err, "--netns: network namespace 'closed' could not be read").size() != 1)
            problems += "--netns closed as nobody: status " + std::to_string(closed.exit_code) + ", " + closed.err;
        return problems;
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

} // namespace
