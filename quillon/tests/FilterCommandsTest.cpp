// The filter commands: parsing, the message files a path names, and the built program
// classifying files, printing and clearing the statistics, beside a running quillon.
#include "app/FilterCommands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "HeadlessChild.h"
#include "TestHome.h"
#include "filter/FilterProfile.h"
#include "kinbook/foundation/Registry.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file below `folder` with its contents.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().filename() != "quillon.lock")
            files[entry.path().string()] = Read(entry.path());
    return files;
}

class FilterCommandsTest : public ::testing::Test {
protected:
    // The program's exit status; standard output and error together in `output`.
    int Quillon(const std::string& arguments, std::string* output = nullptr) {
        return RunProgram(
            {"/bin/sh", "-c", std::string(QUILLON_BIN_DIR) + "/quillon " + arguments + " 2>&1"},
            output);
    }
    void TearDown() override { RegResetHives(); }

    CTestHome m_home;
};

TEST_F(FilterCommandsTest, Parsing) {
    const struct {
        std::vector<std::string> arguments;
        FILTER_COMMAND command;  // FCMD_NONE: refused
        size_t paths;
    } cases[] = {
        {{"--examine", "a", "b/"}, FCMD_EXAMINE, 2},
        {{"--examine", "--stats"}, FCMD_EXAMINE, 1},
        {{"--examine"}, FCMD_NONE, 0},
        {{"--stats"}, FCMD_STATS, 0},
        {{"--clear-stats"}, FCMD_CLEAR_STATS, 0},
        {{"--stats", "--clear-stats"}, FCMD_NONE, 0},
        {{"--stats=yes"}, FCMD_NONE, 0},
        {{"--stats", "extra"}, FCMD_NONE, 0},
        {{"--headless", "--stats"}, FCMD_NONE, 0},
    };
    for (const auto& c : cases) {
        SFilterCommand command;
        std::string error;
        EXPECT_EQ(ParseFilterCommand(c.arguments, command, error), c.command != FCMD_NONE)
            << c.arguments[0] << " " << error;
        EXPECT_EQ(command.command, c.command);
        EXPECT_EQ(command.paths.size(), c.paths);
    }
    EXPECT_TRUE(IsFilterCommandLine({"--headless", "--stats"}));
    EXPECT_FALSE(IsFilterCommandLine({"--headless"}));
}

TEST_F(FilterCommandsTest, PathsNameMessageFiles) {
    const fs::path home = m_home.Path();
    Write(home / "box/cur/2", "x");
    Write(home / "box/new/1", "x");
    Write(home / "box/tmp/3", "x");
    Write(home / "folder/b", "x");
    Write(home / "folder/a", "x");
    Write(home / "folder/sub/c", "x");
    const struct {
        std::string path;
        std::vector<std::string> files;  // empty: refused
    } cases[] = {
        {(home / "box").string(), {(home / "box/cur/2").string(), (home / "box/new/1").string()}},
        {(home / "folder").string(), {(home / "folder/a").string(), (home / "folder/b").string()}},
        {(home / "folder/b").string(), {(home / "folder/b").string()}},
        {(home / "missing").string(), {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> files;
        std::string error;
        EXPECT_EQ(ListMessageFiles(c.path, files, error), !c.files.empty()) << c.path;
        EXPECT_EQ(files, c.files);
    }
}

TEST_F(FilterCommandsTest, ExamineIsADryRunBesideARunningQuillon) {
    const fs::path home = m_home.Path();
    ASSERT_EQ(Quillon("--add-friend ann@friends.org"), 0);
    ASSERT_EQ(Quillon("--add-me me@home.org"), 0);
    CHeadlessChild engine;
    ASSERT_GT(engine.Start(), 0) << engine.Output();

    Write(home / "mail/cur/1", "From: Ann <ann@friends.org>\nSubject: hi\n\nHello.\n");
    Write(home / "mail/new/2", "From: x@y.org\nTo: me@home.org\nSubject: lunch?\n\nHi.\n");
    Write(home / "mail/new/3", "Subject: free\n\nno sender\n");
    Write(home / "mail/new/4",
          "From x@y.org Mon Dec  7 10:00:00 2026\nFrom: x@y.org\n"
          "To: list@lists.org\n\nHi all.\n");
    const auto before = Snapshot(home);
    const std::string mail = (home / "mail").string();
    std::string output;
    EXPECT_EQ(Quillon(mail + " --examine", &output), 2) << output;  // the path comes first
    EXPECT_EQ(Quillon("--examine " + mail + " " + mail + "/new/3 " + mail + "/none", &output), 1);
    EXPECT_EQ(output, mail + "/cur/1\tinbox\t-\tfriendly: from a friend\n" + mail +
                          "/new/2\thold\tN\tnice\n" + mail +
                          "/new/3\thold\tX\tbad: from address empty\n" + mail +
                          "/new/4\thold\tQ\tother: not to or cc me\n" + mail +
                          "/new/3\thold\tX\tbad: from address empty\n" +
                          "5 messages: 1 inbox, 4 hold (1 friendly, 2 bad, 1 nice, 1 other)\n"
                          "quillon: cannot read " +
                          mail + "/none: No such file or directory\n");
    EXPECT_EQ(Snapshot(home), before) << "nothing in the data folder changed";

    // The statistics are the running instance's: it answers and it clears its own.
    ASSERT_EQ(Quillon("--clear-stats", &output), 0) << output;
    EXPECT_EQ(output, "statistics cleared\n");
    ASSERT_EQ(Quillon("--stats", &output), 0) << output;
    EXPECT_EQ(output.rfind("Quillon will track the number of emails processed", 0), 0u) << output;
    EXPECT_EQ(Quillon("--stats --clear-stats", &output), 2) << output;

    EXPECT_EQ(engine.Stop(), 0);
}

TEST_F(FilterCommandsTest, StatsShowTheSavedCountersAndClearZeroesThem) {
    WriteProfileInt(kSettingsSection, "Emails Passed", 3);
    WriteProfileInt(kSettingsSection, "Emails Held", 1);
    WriteProfileInt(kSettingsSection, "Evil Emails Held", 1);
    WriteProfileInt("Settings\\Evil Filter", "Invalid Header - Invoked", 4);
    WriteProfileInt("Settings\\Evil Filter", "Invalid Header", 1);
    WriteProfileText(kSettingsSection, "Filter Stats Date", "11/30/26");
    RegResetHives();
    std::string output;
    ASSERT_EQ(Quillon("--stats", &output), 0) << output;
    EXPECT_EQ(output.rfind("Since 11/30/26 Quillon has scanned 4 emails.3 were sent directly to "
                           "your Inbox, and 1 was placed in the hold window.\n",
                           0),
              0u)
        << output;
    EXPECT_NE(output.find("\nBad            1         0               0\n"), std::string::npos);
    EXPECT_NE(output.find("\nFilter statistics since 11/30/26\n"), std::string::npos);
    EXPECT_NE(output.find("\nInvalid Header               1/4\n"), std::string::npos) << output;

    ASSERT_EQ(Quillon("--clear-stats", &output), 0) << output;
    EXPECT_EQ(output, "statistics cleared\n");
    RegResetHives();
    EXPECT_EQ(ReadProfileInt(kSettingsSection, "Emails Passed", -1), 0);
    EXPECT_EQ(ReadProfileInt("Settings\\Evil Filter", "Invalid Header - Invoked", -1), 0);
    ASSERT_EQ(Quillon("--stats", &output), 0);
    EXPECT_EQ(output.rfind("Quillon will track the number of emails processed", 0), 0u) << output;
    RegResetHives();
    EXPECT_FALSE(ReadProfileText(kSettingsSection, "Filter Stats Date", "").empty())
        << "the date is fixed when the statistics are first shown after a clear";
}

// The filter sees what the proxy downloads: the header and the first "TopLines" lines of
// the body (40 unless set).
TEST_F(FilterCommandsTest, ExamineReadsTheBodyLinesTheProxyFetches) {
    std::string body;
    for (int i = 0; i < 45; ++i) body += "line\n";
    const std::string file = m_home.Path() + "/late-word";
    Write(file, "From: x@y.org\nSubject: hi\n\n" + body + "viagra\n");
    Write(m_home.Path() + "/words.re", "2\n1 1\tviagra\n");
    const struct {
        int topLines;  // -1: not set
        const char* verdict;
    } cases[] = {
        {-1, "\thold\tQ\tother: not to or cc me\n"},
        {45, "\thold\tQ\tother: not to or cc me\n"},
        {46, "\thold\tX\tbad: \"viagra\" in body\n"},
        {-7, "\thold\tQ\tother: not to or cc me\n"},
    };
    for (const auto& c : cases) {
        if (c.topLines != -1)
            WriteProfileInt("Settings\\POP3Proxy", "TopLines", c.topLines);
        RegResetHives();
        std::string output;
        ASSERT_EQ(Quillon("--examine " + file, &output), 0) << output;
        EXPECT_EQ(output.substr(0, output.find('\n') + 1), file + c.verdict) << c.topLines;
    }
}

}  // namespace
