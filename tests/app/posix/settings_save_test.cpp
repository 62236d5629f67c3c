// "launcher.cfg" rewritten while another process reads it and kills the writer at any moment:
// every read, and the file the kill leaves, is the old settings or the new ones, never a short
// or empty file that would lose the playtester key and the server.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "../../support/file_bytes.h"
#include "../../support/temp_dir.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;

TEST(SettingsSave, AKillMidSaveLeavesTheOldOrTheNewSettings) {
    test::TempDir tmp("settings-kill-");
    const fs::path dir = tmp.path() / "launcher";
    const fs::path other = tmp.path() / "other";
    fs::create_directories(dir);
    fs::create_directories(other);
    const LauncherSettings before{"http://127.0.0.1:25980/", "OLD-KEY", false};
    const LauncherSettings after{"", "PLAY-TEST-42-A-LONGER-KEY", true};
    saveSettings(other, after);
    const std::string afterText = test::readText(other / "launcher.cfg");
    saveSettings(other, before);
    const std::string beforeText = test::readText(other / "launcher.cfg");
    saveSettings(dir, before);

    for (int round = 0; round < 20; ++round) {
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (;;) {
                saveSettings(dir, after);
                saveSettings(dir, before);
            }
        }
        // Reads until both versions have been seen (the writer is well under way, and the kill
        // lands at some point of a save); none may be anything else.
        bool sawBefore = false, sawAfter = false;
        std::string torn;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(sawBefore && sawAfter) && torn.empty() && std::chrono::steady_clock::now() < end) {
            const std::string text = test::readText(dir / "launcher.cfg");
            sawBefore = sawBefore || text == beforeText;
            sawAfter = sawAfter || text == afterText;
            if (text != beforeText && text != afterText) torn = text.empty() ? "(empty)" : text;
        }
        kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        ASSERT_EQ(torn, "") << "a reader saw this in round " << round;
        ASSERT_TRUE(sawBefore && sawAfter) << "the writer never got round";
        const std::string left = test::readText(dir / "launcher.cfg");
        ASSERT_TRUE(left == beforeText || left == afterText) << "the kill left: " << left;
    }
    // Whatever the last kill left over beside it does not stand in the way of the next save.
    saveSettings(dir, after);
    EXPECT_EQ(test::readText(dir / "launcher.cfg"), afterText);
}

} // namespace
} // namespace qv::launcher
