// SPDX-License-Identifier: MIT
// The built console listing, run as a user would: stdin at end of file,
// stdout to a file, a terminal, or a descriptor that fails.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/own_name.h"
#include "support/program_run.h"

using namespace sockscope_test;

namespace {

const std::string demo = SOCKSCOPE_DEMO;

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t space = line.find(' '); space != std::string::npos; space = line.find(' ', start)) {
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

// The lines whose local end is 127.0.0.1:`port`. A port alone is no mark of
// a socket: another address can have it, a connection as its remote port,
// a process as its id.
std::vector<std::string> lines_on(const std::string& output, unsigned port) {
    std::vector<std::string> found;
    for (const auto& line : lines_of(output))
        if (line.rfind("127.0.0.1 " + std::to_string(port) + " ", 0) == 0) found.push_back(line);
    return found;
}

void expect_seven_plain_fields_on_every_line(const std::string& output) {
    for (const auto& line : lines_of(output)) {
        const auto fields = fields_of(line);
        EXPECT_EQ(fields.size(), 7u) << line;
        EXPECT_TRUE(std::none_of(fields.begin(), fields.end(), [](const std::string& f) { return f.empty(); })) << line;
    }
    // Nothing reaches the terminal as a control code.
    EXPECT_TRUE(std::none_of(output.begin(), output.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\n') || byte == 0x7F;
    }));
}

// Locales made for the tests in a private folder, for LOCPATH: ja_JP.eucJP
// built from the system's locale sources, and C.UTF-8 beside it (LOCPATH
// hides the system's compiled locales).
struct PrivateLocales {
    std::filesystem::path folder;
    std::string missing; // why they could not be made, if they could not

    PrivateLocales() {
        namespace fs = std::filesystem;
        if (!fs::exists("/usr/share/i18n/locales/ja_JP") ||
            (!fs::exists("/usr/share/i18n/charmaps/EUC-JP.gz") && !fs::exists("/usr/share/i18n/charmaps/EUC-JP"))) {
            missing = "the Japanese locale sources (/usr/share/i18n) are not installed";
            return;
        }
        char pattern[] = "/tmp/sockscope-locales-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            missing = "no private folder";
            return;
        }
        folder = pattern;
        const std::string build = "localedef -i ja_JP -f EUC-JP '" + (folder / "ja_JP.eucJP").string() + "' >/dev/null 2>&1";
        if (std::system(build.c_str()) != 0 || !fs::exists(folder / "ja_JP.eucJP" / "LC_CTYPE")) {
            missing = "localedef is missing or could not build ja_JP.eucJP";
            return;
        }
        std::error_code failed;
        if (fs::exists("/usr/lib/locale/C.utf8/LC_CTYPE"))
            fs::create_directory_symlink("/usr/lib/locale/C.utf8", folder / "C.UTF-8", failed);
        else if (std::system(("localedef -i C -f UTF-8 '" + (folder / "C.UTF-8").string() + "' >/dev/null 2>&1").c_str()) != 0)
            missing = "no C.UTF-8 locale";
        if (failed) missing = "could not link C.UTF-8";
    }
    ~PrivateLocales() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
};

RunOptions in_locale(const std::string& locale, std::vector<std::string> arguments = {}) {
    RunOptions options;
    options.arguments = std::move(arguments);
    options.set_environment = {{"LC_ALL", locale}};
    return options;
}

TEST(Demo, PrintsTheListenerLineAndEndsAtEndOfInput) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto run = run_program(demo, in_locale("C", {"--any", "arguments are", "ignored"}));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    const std::string line = "127.0.0.1 " + std::to_string(listener.port()) + " 0.0.0.0 0 " +
                             std::to_string(getpid()) + " " + own_name() + " LISTEN\n";
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    expect_seven_plain_fields_on_every_line(run.out);
}

TEST(Demo, AHostileNameIsEscapedAndCannotForgeARow) {
    // Blank, tab, backslash, terminal codes (ESC, a C1 CSI), other controls,
    // format characters that reorder or break what follows (U+202E, U+2066,
    // U+200F, U+2028), and a newline followed by a well-formed row of its own.
    const std::string name = "evil name\t\\x\x1b[2J\x01\x7f\xc2\x9b\u202E\u2066\u200F\u2028\n"
                             "127.0.0.1 22 0.0.0.0 0 1 sshd LISTEN";
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const auto run = run_program(demo, in_locale("C.UTF-8"));
    EXPECT_EQ(run.exit_code, 0);

    const auto lines = lines_on(run.out, child.ports().at(0));
    ASSERT_EQ(lines.size(), 1u) << run.out;
    const auto fields = fields_of(lines[0]);
    ASSERT_EQ(fields.size(), 7u) << lines[0];
    EXPECT_EQ(fields[4], std::to_string(child.pid()));
    EXPECT_EQ(fields[5], "evil\\040name\\011\\134x\\033[2J\\001\\177\\302\\233"
                         "\\342\\200\\256\\342\\201\\246\\342\\200\\217\\342\\200\\250"
                         "\\012127.0.0.1\\04022\\0400.0.0.0\\0400\\0401\\040sshd\\040LISTEN");
    EXPECT_EQ(fields[6], "LISTEN");
    for (const auto& line : lines_of(run.out)) EXPECT_NE(line, "127.0.0.1 22 0.0.0.0 0 1 sshd LISTEN");
    expect_seven_plain_fields_on_every_line(run.out);
}

// A terminal's character set is what the environment's locale says, even on
// a host that has a Japanese locale installed.
TEST(Demo, NamesPrintInTheCharacterSetOfTheEnvironmentsLocale) {
    static const PrivateLocales locales;
    if (!locales.missing.empty()) GTEST_SKIP() << "skipped: " << locales.missing;
    ChildProcess child(test_child_named("\u65E5\u672Cx"), {"tcp-listen", "127.0.0.1"});
    const std::string tail = " " + std::to_string(child.pid()) + " ";
    const struct {
        const char* lang;
        std::string name;
    } cases[] = {
        {"C.UTF-8", "\xE6\x97\xA5\xE6\x9C\xACx"},
        {"ja_JP.eucJP", "\xC6\xFC\xCB\xDCx"},
    };
    for (const auto& each : cases) {
        RunOptions options;
        options.unset_environment = {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANGUAGE"};
        options.set_environment = {{"LANG", each.lang}, {"LOCPATH", locales.folder.string()}};
        const auto run = run_program(demo, options);
        EXPECT_EQ(run.exit_code, 0) << each.lang;
        const auto lines = lines_on(run.out, child.ports().at(0));
        ASSERT_EQ(lines.size(), 1u) << each.lang << "\n" << run.out;
        EXPECT_NE(lines[0].find(tail + each.name + " LISTEN"), std::string::npos) << each.lang << ": " << lines[0];
    }
}

TEST(Demo, AFailedWriteEndsWithStatusOneAndOneLineNamingTheError) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1"); // at least one line to write
    const struct {
        Stdout output;
        const char* error;
    } cases[] = {
        {Stdout::dev_full, "No space left on device"},
        {Stdout::closed, "Bad file descriptor"},
        {Stdout::broken_pipe, "Broken pipe"},
    };
    for (const auto& each : cases) {
        RunOptions options = in_locale("C");
        options.output = each.output;
        const auto run = run_program(demo, options);
        EXPECT_EQ(run.signal, 0) << each.error;
        EXPECT_EQ(run.exit_code, 1) << each.error;
        EXPECT_EQ(run.err, std::string("sockscopeDemo_x64: cannot write the listing: ") + each.error + "\n");
    }
}

TEST(Demo, AFailedSnapshotEndsWithStatusOneAndOneLineNamingTheError) {
    for (const auto& [number, text] : {std::pair{"12", "Cannot allocate memory"}, std::pair{"24", "Too many open files"}}) {
        RunOptions options = in_locale("C");
        options.set_environment.push_back({"LD_LIBRARY_PATH", SOCKSCOPE_FAILING_LIBRARY_DIR});
        options.set_environment.push_back({"SOCKSCOPE_STUB_ERRNO", number});
        const auto run = run_program(demo, options);
        EXPECT_EQ(run.exit_code, 1) << text;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, std::string("sockscopeDemo_x64: cannot read the TCP table: ") + text + "\n");
    }
}

} // namespace
