// SPDX-License-Identifier: MIT
// What the tool says of a listener it reads from /proc/net, which carries
// no backlog limit: its Send-Q is not known ("-", null), not 0.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <string>
#include <unistd.h>

#include "support/network_namespaces.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

TEST(ToolProcNet, AListenersSendQueueReadFromProcNetIsNotKnownWhereNetlinkGivesItsBacklog) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a namespace and to read it both ways";
    // Another namespace: root enters it (netlink); without CAP_SYS_ADMIN
    // the tool reads it through the listener's /proc/<pid>/net.
    const NamespacedListener listener;
    ASSERT_TRUE(listener.ready());
    const std::string pid = std::to_string(listener.pid());
    RunOptions through_proc = tool_options({"-Al", "--pid", pid});
    through_proc.without_capabilities = {CAP_SYS_ADMIN};
    RunOptions through_proc_json = tool_options({"-Al", "--pid", pid, "--json"});
    through_proc_json.without_capabilities = {CAP_SYS_ADMIN};

    const auto entered = lines_at(run_tool({"-Al", "--pid", pid}).out, "127.0.0.1", listener.port());
    ASSERT_EQ(entered.size(), 1u);
    EXPECT_NE(entered[0][field::send_queue], "-");
    EXPECT_NE(entered[0][field::send_queue], "0");
    const auto read = run_program(SOCKSCOPE_TOOL, through_proc);
    const auto lines = lines_at(read.out, "127.0.0.1", listener.port());
    ASSERT_EQ(lines.size(), 1u) << read.out << read.err;
    EXPECT_EQ(lines[0][field::send_queue], "-");
    const auto rows = json_rows(run_program(SOCKSCOPE_TOOL, through_proc_json).out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(is_null(rows[0], "send_queue"));
    EXPECT_EQ(number(rows[0], "receive_queue"), 0);
}

} // namespace
