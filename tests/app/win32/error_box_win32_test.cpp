// The Windows error box, as a player meets it: a dialog titled "Corvanthe Launcher" with the
// message and the error icon, which holds the launcher until OK is pressed. A watcher program
// finds the box, reads it and presses OK.
#include "app/error_box.h"
#include "base/platform.h"

#include "../../base/win32/report_file.h"
#include "../../support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace fs = std::filesystem;
using namespace qv::launcher;

TEST(ErrorBox, ShowsTheMessageWithTheErrorIconUntilOkIsPressed) {
    test::TempDir temp("error_box_win32_test-");
    const fs::path report = temp.path() / L"box";
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
    const fs::path watcher = fs::path(own).parent_path() / L"error_box_watcher_child.exe";
    std::string error;
    ASSERT_TRUE(startProcess(watcher, {toUtf8(report)}, temp.path(), error)) << error;

    const std::string message =
        reinterpret_cast<const char*>(u8"The launcher cannot start: no display \u00e9\u6587");
    showErrorBox(errorBoxTitle, message);

    // The box has been closed by the watcher's OK, or the call would not have returned. A call
    // that returned without a box leaves the watcher looking for one until its own time limit,
    // after which it reports that none came: the wait outlasts that, so the failure says so.
    std::string text;
    ASSERT_TRUE(test::readReport(report, text, std::chrono::seconds(150)));
    std::istringstream lines(text);
    std::string key;
    std::string value;
    std::string shownText;
    std::string icon;
    bool found = false;
    bool ok = false;
    while (lines >> key >> value) {
        if (key == "found") found = value == "1";
        if (key == "text") shownText = test::unhexText(value);
        if (key == "icon") icon = value;
        if (key == "ok") ok = value == "1";
    }
    ASSERT_TRUE(found) << "no box titled \"" << errorBoxTitle << "\" appeared";
    EXPECT_EQ(shownText, message);
    EXPECT_EQ(icon, "error");
    EXPECT_TRUE(ok);
}
