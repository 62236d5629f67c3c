#include "app/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/platform.h"

#include "../support/file_bytes.h"
#include "../support/log_folder.h"
#include "../support/temp_dir.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;

class SettingsFile : public ::testing::Test {
  protected:
    void writeRaw(const std::string& bytes) { test::writeBytes(dir_ / "launcher.cfg", bytes); }
    // The file is plain text, written and read back as text.
    std::string readText() { return test::readText(dir_ / "launcher.cfg"); }

    test::TempDir tmp_{"settings-"};
    const fs::path& dir_ = tmp_.path();
};

TEST(SettingsTrim, StripsOnlyTheDocumentedBlanks) {
    EXPECT_EQ(trim(" \t value \t\r\n"), "value");
    EXPECT_EQ(trim("\r\nvalue"), "\r\nvalue"); // CR and LF count only at the end
    EXPECT_EQ(trim("\vvalue\f"), "\vvalue\f"); // vertical tab and form feed are not blanks
    EXPECT_EQ(trim("a b"), "a b");
    EXPECT_EQ(trim(" \t "), "");
}

TEST(SettingsParse, LinesAndKeys) {
    struct Case {
        const char* text;
        std::string server;
        std::string key;
        bool testing;
    };
    const Case cases[] = {
        {"", "", "", false},
        {"# Corvanthe launcher settings. Written by the launcher.\n", "", "", false},
        {"server=http://a/", "http://a/", "", false},
        {" \t server \t=\t http://a/ \t\n", "http://a/", "", false},
        {"server = http://a/\r\n", "http://a/", "", false},
        {"server = http://a/?x=1=2\n", "http://a/?x=1=2", "", false},
        {"  # server = http://a/\n", "", "", false},
        {"server = http://a/ # not a comment\n", "http://a/ # not a comment", "", false},
        {"Server = http://a/\nTESTER_KEY = K\n", "", "", false},
        {"tester_key = K\nchannel = testing\n", "", "K", true},
        {"tester_key = K\nchannel = Testing\n", "", "K", false},
        {"tester_key = K\nchannel =\n", "", "K", false},
        {"channel = testing\nchannel = live\n", "", "", false},
        {"channel = live\nchannel = testing\n", "", "", true},
        {"= http://a/\nserver http://a/\n \t \n", "", "", false},
        {"tester_key =  AB CD \n", "", "AB CD", false},
        {"server = http://a/\nserver = http://b/", "http://b/", "", false},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        const LauncherSettings s = parseSettings(in);
        EXPECT_EQ(s.server, c.server) << c.text;
        EXPECT_EQ(s.testerKey, c.key) << c.text;
        EXPECT_EQ(s.testing, c.testing) << c.text;
    }
}

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    const LauncherSettings s = loadSettings(dir_);
    EXPECT_TRUE(s.server.empty());
    EXPECT_TRUE(s.testerKey.empty());
    EXPECT_FALSE(s.testing);
}

TEST_F(SettingsFile, WriterOutputAndRoundTrip) {
    struct Case {
        LauncherSettings settings;
        const char* file;
    };
    const Case cases[] = {
        {{"", "", true}, "# Corvanthe launcher settings. Written by the launcher.\n"},
        {{"http://s:1/", "", false},
         "# Corvanthe launcher settings. Written by the launcher.\nserver = http://s:1/\n"},
        {{"", "KEY", false},
         "# Corvanthe launcher settings. Written by the launcher.\ntester_key = KEY\nchannel = "
         "live\n"},
        {{"http://s/", "KEY", true},
         "# Corvanthe launcher settings. Written by the launcher.\nserver = http://s/\n"
         "tester_key = KEY\nchannel = testing\n"},
    };
    for (const Case& c : cases) {
        writeRaw("server = http://old/\nunknown = kept?\n");
        saveSettings(dir_, c.settings);
        EXPECT_EQ(readText(), c.file);
        const LauncherSettings back = loadSettings(dir_);
        EXPECT_EQ(back.server, c.settings.server);
        EXPECT_EQ(back.testerKey, c.settings.testerKey);
        // Without a key the channel is not stored, so it reads back as Live.
        EXPECT_EQ(back.testing, c.settings.testing && !c.settings.testerKey.empty());
    }
}

// The choice stays in effect for the run; the log says why it was not kept.
TEST(SettingsSave, AWriteThatFailsIsLoggedWithItsReason) {
    test::LogFolder log("settings-log-");
    const fs::path missing = log.folder() / "missing" / "deeper";
    // A folder that holds something, standing where the file goes, is never replaced.
    const fs::path blocked = log.folder() / "blocked";
    fs::create_directories(blocked / "launcher.cfg" / "inside");
    for (const fs::path& folder : {missing, blocked})
        saveSettings(folder, LauncherSettings{"http://s/", "K", true});

    std::vector<std::string> warnings;
    for (const test::LogLine& line : log.lines())
        if (line.level == "warn") warnings.push_back(line.message);
    ASSERT_EQ(warnings.size(), 2u) << log.log();
    const fs::path folders[] = {missing, blocked};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string start = "launcher: settings not saved: cannot write " +
                                  toUtf8(folders[i] / "launcher.cfg") + " (";
        EXPECT_EQ(warnings[i].rfind(start, 0), 0u) << warnings[i];
        // The system's reason, in parentheses.
        EXPECT_GT(warnings[i].size(), start.size() + 1) << warnings[i];
        EXPECT_EQ(warnings[i].back(), ')') << warnings[i];
    }
    EXPECT_FALSE(fs::exists(log.folder() / "missing"));
    EXPECT_TRUE(fs::is_directory(blocked / "launcher.cfg" / "inside"));
    EXPECT_FALSE(fs::exists(blocked / "launcher.cfg.part"));
}

} // namespace
} // namespace qv::launcher
