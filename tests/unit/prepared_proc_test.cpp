// SPDX-License-Identifier: MIT
// The pipeline run against a prepared /proc tree: processes, descriptor
// links, a process that vanished between the listing and the reading, one
// whose descriptors are closed to the caller, a zombie, a long name, and
// every error that reading one process's entries can give.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "linux/process_search.h"
#include "core/snapshot_records.h"
#include "support/injected_errors.h"
#include "support/isolated_child.h"
#include "support/results.h"
#include "api/table_pipeline.h"

using namespace sockscope_detail;
using namespace sockscope_test;
namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

class PreparedProc : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sockscope-prepared-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::permissions(root_, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
        const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        write("net/tcp", header +
                             // 127.0.0.1:8080 listening, held by 100 and 200
                             "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1001\n"
                             // an established pair's server end, held by 200
                             "   1: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 00000000 0 0 1002\n"
                             // held by 300, which vanished
                             "   2: 0100007F:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1003\n"
                             // held by 400, whose descriptors only root may read
                             "   3: 0100007F:0017 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1004\n"
                             // TIME_WAIT: no descriptor
                             "   4: 0100007F:C351 0100007F:1F90 06 00000000:00000000 00:00000000 00000000 0 0 0\n");
        write("net/udp", header + "   0: 0100007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 2001\n");

        process(100, "alpha", 'S');
        link("100/fd/0", "/dev/null");
        link("100/fd/3", "socket:[1001]");
        link("100/fd/4", "socket:[2001]");
        process(200, "beta-with-a-lon", 'S'); // a comm cut at 15 bytes
        link("200/exe", "/usr/bin/beta-with-a-long-name (deleted)");
        link("200/fd/7", "socket:[1002]");
        link("200/fd/9", "socket:[1001]");
        fs::create_directories(root_ / "300"); // listed, then gone before it was read
        process(400, "delta", 'S');
        link("400/fd/5", "socket:[1004]");
        fs::permissions(root_ / "400/fd", fs::perms::owner_all);
        process(500, "gamma", 'Z'); // ended, not reaped
        fs::create_directories(root_ / "not-a-process");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void write(const std::string& path, const std::string& contents) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << contents;
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories((root_ / path).parent_path());
        fs::create_symlink(target, root_ / path);
    }
    void process(int id, const std::string& comm, char state) {
        const std::string folder = std::to_string(id);
        write(folder + "/comm", comm + "\n");
        write(folder + "/stat", folder + " (" + comm + ") " + state + " 1 1 1 0 -1");
        fs::create_directories(root_ / folder / "fd");
    }

    SystemSources sources() const {
        SystemSources prepared;
        prepared.proc_root = root_.c_str();
        prepared.table = TableSource::proc_net;
        prepared.owners = OwnerScan::proc;
        return prepared;
    }

    fs::path root_;
};

const SocketRow* by_inode(const OwnedTable& table, std::uint64_t inode) {
    for (const SocketRow& row : table.rows)
        if (row.inode == inode) return &row;
    return nullptr;
}

std::string name_of(const OwnedTable& table, std::uint32_t owner) {
    const std::string* name = table.names.find(owner);
    return name == nullptr ? "<none>" : *name;
}

TEST_F(PreparedProc, OwnersAndNamesComeFromTheTree) {
    const OwnedTable tcp = ok(read_owned_table({Protocol::tcp, Family::ipv4}, sources()));
    ASSERT_EQ(tcp.rows.size(), 5u);
    EXPECT_EQ(by_inode(tcp, 1001)->owner, 100u); // the lower of its two holders
    EXPECT_EQ(by_inode(tcp, 1002)->owner, 200u);
    EXPECT_EQ(by_inode(tcp, 1003)->owner, 0u);
    EXPECT_EQ(by_inode(tcp, 1004)->owner, 400u); // root reads every process
    EXPECT_EQ(by_inode(tcp, 0)->owner, 0u);
    EXPECT_EQ(name_of(tcp, 100), "alpha");
    EXPECT_EQ(name_of(tcp, 200), "beta-with-a-long-name");

    statTCPROW* records = make_tcp_records(tcp);
    ASSERT_NE(records, nullptr);
    EXPECT_EQ(records[0].size, 5u);
    EXPECT_STREQ(records[0].LocalAddr, "127.0.0.1"); // sorted: port 22 first
    EXPECT_EQ(records[0].LocalPort, 22u);
    EXPECT_EQ(records[0].ProcessName, nullptr);
    sockscope().getstat_free(records);

    const OwnedTable udp = ok(read_owned_table({Protocol::udp, Family::ipv4}, sources()));
    ASSERT_EQ(udp.rows.size(), 1u);
    EXPECT_EQ(udp.rows[0].owner, 100u);
}

TEST_F(PreparedProc, ProcessesAreFoundByNameButNotZombies) {
    EXPECT_EQ(ok(find_process_id(u"alpha", sources())), 100u);
    EXPECT_EQ(ok(find_process_id(u"beta-with-a-long-name", sources())), 200u);
    EXPECT_EQ(ok(find_process_id(u"beta-with-a-lon", sources())), 0u);
    EXPECT_EQ(ok(find_process_id(u"gamma", sources())), 0u);
    EXPECT_EQ(ok(find_process_id(u"delta", sources())), 400u);
}

TEST_F(PreparedProc, DescriptorsClosedToTheCallerLeaveTheOwnerUnknown) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const SystemSources prepared = sources();
    const std::string fault = sockscope_test::run_isolated([&]() -> std::string {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) return "skip: cannot become nobody";
        const OwnedTable tcp = ok(read_owned_table({Protocol::tcp, Family::ipv4}, prepared));
        std::string found;
        if (by_inode(tcp, 1004)->owner != 0) found += "unreadable process got an owner; ";
        if (by_inode(tcp, 1001)->owner != 100) found += "readable owner lost; ";
        return found;
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

// Whatever error reading one process's entries gives, only that process is
// unknown; the call fails only when the caller itself is short of
// descriptors or memory.
TEST_F(PreparedProc, AnErrorReadingOneProcessLeavesOnlyThatProcessUnknown) {
    std::string faults;
    for (const FailingCall call : {FailingCall::openat, FailingCall::readlinkat, FailingCall::read}) {
        for (int error = 1; error < 134; ++error) {
            if (error == EINTR || strerrorname_np(error) == nullptr) continue; // EINTR is retried
            const std::string what = std::string(call_name(call)) + " " + strerrorname_np(error) + ": ";
            const bool callers_own = error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
            const InjectedError injected(call, (root_ / "100").string(), error);
            const Result<OwnedTable> tcp = read_owned_table({Protocol::tcp, Family::ipv4}, sources());
            if (!tcp) {
                if (!callers_own || tcp.error() != error)
                    faults += what + "the call failed with " + strerrorname_np(tcp.error()) + "; ";
                continue;
            }
            const std::uint32_t first = by_inode(*tcp, 1001)->owner;
            if (callers_own) faults += what + "answered; ";
            if (by_inode(*tcp, 1002)->owner != 200 || name_of(*tcp, 200) != "beta-with-a-long-name")
                faults += what + "another process was disturbed; ";
            if (first != 100 && first != 200) faults += what + "a shared socket lost both holders; ";
            if (first == 100 && name_of(*tcp, 100) != "alpha" && name_of(*tcp, 100) != "<none>")
                faults += what + "a wrong name; ";
            const Result<std::uint32_t> beta = find_process_id(u"beta-with-a-long-name", sources());
            if (!beta || *beta != 200) faults += what + "lookup failed; ";
        }
    }
    EXPECT_EQ(faults, "");
}

} // namespace
