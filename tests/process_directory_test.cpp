// The process directory against real processes started under chosen names.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "proc_files.h"
#include "process_directory.h"
#include "support/child_process.h"
#include "utf8.h"

using namespace sockscope_detail;
using sockscope_test::ChildProcess;
using sockscope_test::test_child_named;
using sockscope_test::unique_name;

namespace {

std::u16string utf16(const std::string& text) { return utf8_to_utf16(text); }

std::u16string name_of(std::uint32_t id) {
    const UniqueFd proc = open_proc();
    char16_t* name = process_name_by_id(proc.get(), id);
    if (name == nullptr) return u"<null>";
    std::u16string copy(name);
    std::free(name);
    return copy;
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

TEST(ProcFiles, ProcessIdsAreDecimalWithoutLeadingZeros) {
    std::uint32_t id = 0;
    EXPECT_TRUE(parse_process_id("1", id));
    EXPECT_EQ(id, 1u);
    EXPECT_TRUE(parse_process_id("4294967295", id));
    EXPECT_EQ(id, 4294967295u);
    for (const char* bad : {"", "0", "01", "12a", "self", "4294967296", "99999999999", "-1"})
        EXPECT_FALSE(parse_process_id(bad, id)) << bad;
}

TEST(ProcFiles, ProcessIdsComeInAscendingOrderAndIncludeOurs) {
    const UniqueFd proc = open_proc();
    ASSERT_TRUE(proc.valid());
    ProcessIds ids(proc.get());
    std::uint32_t id, previous = 0;
    bool saw_self = false;
    while (ids.next(id)) {
        EXPECT_GT(id, previous);
        previous = id;
        saw_self |= id == static_cast<std::uint32_t>(getpid());
    }
    EXPECT_TRUE(saw_self);
}

} // namespace
