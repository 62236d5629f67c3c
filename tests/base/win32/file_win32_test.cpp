// The base layer's file open on Windows: UTF-8 names reach the file system as the same wide
// names, malformed ones open nothing, the mode is honoured, and no handle can be inherited.
#include "base/file_os.h"
#include "base/log.h"
#include "base/log_os.h"
#include "base/platform.h"

#include "../../support/temp_dir.h"
#include "file_hold.h"
#include "handle_probe.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::launcher;

namespace {

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

TEST(OpenFileNoInherit, OpensTheNameItsUtf8TextNamesInTheModeAsked) {
    test::TempDir temp("file_win32_test-");
    const struct {
        std::u8string name;
        const char* mode;
        std::string onDisk;
    } cases[] = {
        {u8"plain.log", "w", "one\r\ntwo\r\n"},
        {u8"caf\u00e9 \u6587\u5b57 \U0001F600.png", "wb", "one\ntwo\n"},
        {u8"appended.log", "a", "one\r\ntwo\r\n"},
    };
    for (const auto& c : cases) {
        const fs::path file = temp.path() / c.name;
        std::FILE* out = openFileNoInherit(toUtf8(file).c_str(), c.mode);
        ASSERT_NE(out, nullptr) << toUtf8(file);
        EXPECT_FALSE(test::inheritable(out));
        std::fputs("one\ntwo\n", out);
        std::fclose(out);
        EXPECT_EQ(contentOf(file), c.onDisk);

        std::FILE* in = openFileNoInherit(toUtf8(file).c_str(), "rb");
        ASSERT_NE(in, nullptr);
        EXPECT_FALSE(test::inheritable(in));
        std::fclose(in);
    }
}

// A log still open in one launcher is moved aside by the next one (the restart after a
// self-update starts while the old process writes its last lines).
TEST(OpenFileNoInherit, AnOpenFileCanBeMovedAsideAndTheWriterGoesOn) {
    test::TempDir temp("file_win32_test-");
    const fs::path latest = temp.path() / "latest.log";
    const fs::path dated = temp.path() / "2026-01-01_00-00-00.log";
    std::FILE* writer = openFileNoInherit(toUtf8(latest).c_str(), "w");
    ASSERT_NE(writer, nullptr);
    std::fputs("before\n", writer);
    std::fflush(writer);
    std::error_code ec;
    fs::rename(latest, dated, ec);
    EXPECT_FALSE(ec) << ec.message();
    std::FILE* next = openFileNoInherit(toUtf8(latest).c_str(), "w");
    ASSERT_NE(next, nullptr);
    std::fputs("after\n", writer);
    std::fclose(writer);
    std::fclose(next);
    EXPECT_EQ(contentOf(dated), "before\r\nafter\r\n");
    EXPECT_EQ(contentOf(latest), "");
}

std::vector<fs::path> datedLogs(const fs::path& folder) {
    std::vector<fs::path> dated;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        if (entry.path().filename() != "latest.log") dated.push_back(entry.path());
    return dated;
}

TEST(OpenLog, APreviousLogThatAViewerHoldsIsKeptAndTheNewRunFollowsIt) {
    test::TempDir temp("file_win32_test-");
    const fs::path latest = temp.path() / "latest.log";
    std::ofstream(latest, std::ios::binary) << "previous run\r\n";
    // A log viewer following the file.
    test::FileHold viewer(latest, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(viewer.held());
    ASSERT_TRUE(openLog(toUtf8(temp.path()).c_str(), 5));
    logInfo("this run");
    closeLog();
    viewer.release();
    const std::string text = contentOf(latest);
    EXPECT_EQ(text.rfind("previous run\r\n-----", 0), 0u) << text;
    EXPECT_NE(text.find("this run\r\n"), std::string::npos) << text;
    EXPECT_TRUE(datedLogs(temp.path()).empty());

    // Once the viewer has gone, the next opening moves both runs aside as one.
    ASSERT_TRUE(openLog(toUtf8(temp.path()).c_str(), 5));
    closeLog();
    const std::vector<fs::path> dated = datedLogs(temp.path());
    ASSERT_EQ(dated.size(), 1u);
    EXPECT_EQ(contentOf(dated[0]), text);
    EXPECT_EQ(contentOf(latest), "");
}

TEST(OpenLog, APreviousLogHeldForAMomentIsWaitedForAndMovedAside) {
    test::TempDir temp("file_win32_test-");
    const fs::path latest = temp.path() / "latest.log";
    std::ofstream(latest, std::ios::binary) << "previous run\r\n";
    test::FileHold scanner(latest);
    ASSERT_TRUE(scanner.held());
    scanner.releaseSoon();
    ASSERT_TRUE(openLog(toUtf8(temp.path()).c_str(), 5));
    logInfo("this run");
    closeLog();
    const std::vector<fs::path> dated = datedLogs(temp.path());
    ASSERT_EQ(dated.size(), 1u);
    EXPECT_EQ(contentOf(dated[0]), "previous run\r\n");
    EXPECT_EQ(contentOf(latest).find("previous run"), std::string::npos);
}

TEST(OpenFileNoInherit, MalformedNamesAndOtherModesOpenNothing) {
    test::TempDir temp("file_win32_test-");
    const std::string folder = toUtf8(temp.path()) + "\\";
    for (const char* bad : {"\x80.log", "\xC0\xAF.log", "\xE0\x80\xAF.log", "\xED\xA0\x80.log",
                            "\xF4\x90\x80\x80.log", "cut\xE6\x96"}) {
        EXPECT_EQ(openFileNoInherit((folder + bad).c_str(), "w"), nullptr) << bad;
    }
    for (const char* mode : {"a+", "r+", "wx", "wt", ""}) {
        EXPECT_EQ(openFileNoInherit((folder + "mode.log").c_str(), mode), nullptr) << mode;
    }
    EXPECT_EQ(openFileNoInherit("", "w"), nullptr);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(LocalTime, RefusedTimesLeaveTheStructureAlone) {
    std::tm local{};
    EXPECT_FALSE(localTime(std::numeric_limits<std::time_t>::max(), local));
    EXPECT_FALSE(localTime(-1, local));
    EXPECT_EQ(local.tm_year, 0);
    EXPECT_EQ(local.tm_mday, 0);
    EXPECT_EQ(local.tm_hour, 0);

    // 2001-09-09 01:46:40 UTC: whatever the zone, the date is within a day of it.
    ASSERT_TRUE(localTime(1000000000, local));
    EXPECT_EQ(local.tm_year, 101);
    EXPECT_EQ(local.tm_mon, 8);
    EXPECT_GE(local.tm_mday, 8);
    EXPECT_LE(local.tm_mday, 9);
}
