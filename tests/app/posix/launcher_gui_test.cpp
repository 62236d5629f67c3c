// The real launcher under a private Xvfb against nginx on 127.0.0.1, driven with xdotool: it
// installs, updates, checks, verifies, takes playtester keys, switches channels, starts the game,
// replaces itself, and closes at once. Screenshots of the states land in <build>/gui-shots.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>

#include "../../support/setup_skip.h"
#include "gui_fixture.h"

namespace qv::launcher {
namespace {

using namespace test;

// Where things are at the start size of 1024 by 620 (title scale 8).
const int kVerifyX = 100, kVerifyY = 229;
const int kCheckX = 100, kCheckY = 305;
const int kKeyButtonX = 100, kKeyButtonY = 361;
const int kDropDownX = 178, kDropDownY = 386;
// The channel menu opens upwards: below the drop-down it would reach into the action bar.
const int kRowX = 100, kRowLiveY = 221, kRowTestingY = 255, kRowChangeY = 289, kRowForgetY = 323;
// At the minimum size of 820 by 520 (title scale 7) the key area is 8 units higher.
const int kDropDownSmallY = 378;
const int kRowChangeSmallY = 281;

// A mistyped key of 47 characters, longer than the key field shows (27).
const char* const kLongKey = "play-test-43-abcdefghijklmnopqrstuvwxyz-0123456";
const char* const kLongKeyUpper = "PLAY-TEST-43-ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456";
const int kActionX = 859, kActionY = 541;

// A limit for states that come after downloads and installs; reached only when the launcher
// hangs, since every wait ends as soon as the state is there.
const double kStateSeconds = 120.0;

const char* const kSettingsHeader = "# Corvanthe launcher settings. Written by the launcher.\n";

class LauncherGui : public testing::Test {
protected:
    void SetUp() override {
        // The display is a private Xvfb of the test's own; only a build given a release key of
        // its own leaves nothing these tests can sign with.
        if (developmentKeyFile().empty()) {
            SKIP_WITHOUT_SETUP("the launcher carries a given release key; these tests sign with "
                               "the build's development key");
        }
        world = std::make_unique<GuiWorld>();
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
    }

    bool startServer() { return world->nginx().start(); }

    // Where the log stands now: the screen lines written after it answer what came after.
    std::size_t mark() { return world->log().size(); }

    // The launcher's last "launcher: screen" line when it was written after the mark, else "".
    std::string screenSince(std::size_t since) {
        const std::string log = world->log();
        const std::string tag = "launcher: screen ";
        const std::size_t at = log.rfind(tag);
        if (at == std::string::npos || at < since) return "";
        const std::size_t from = at + tag.size();
        return log.substr(from, log.find('\n', from) - from);
    }

    // Waits until the window shows this state (phase, layer and size, as the launcher logs it)
    // with no run going, written after the mark: every run asked for before the mark has then
    // ended and its outcome is on screen.
    bool shows(const std::string& state, std::size_t since = 0) {
        return waitUntil([&] { return screenSince(since) == state; }, kStateSeconds);
    }

    // Starts the launcher with the arguments; its window once it is there and, unless state is
    // empty, shows the state; "" after a failure, which is reported.
    std::string startShowing(Child& launcher, std::vector<std::string> args,
                             const std::string& state) {
        launcher = world->start(std::move(args));
        const std::string window = world->windowOf(launcher);
        if (window.empty()) {
            ADD_FAILURE() << "no window\n" << world->diagnosis();
            return "";
        }
        if (!state.empty() && !shows(state)) {
            ADD_FAILURE() << "not showing " << state << "\n" << world->log();
            return "";
        }
        return window;
    }

    // Release 1.0.0 served and installed; the launcher started and up to date.
    std::string startInstalled(Child& launcher) {
        if (!startServer()) {
            ADD_FAILURE() << "no nginx";
            return "";
        }
        world->preinstall(world->release("1.0.0"));
        return startShowing(launcher, {}, "UpToDate 1024x620");
    }

    // Live 1.0.0 and Testing 1.1.0-test served, the Testing build installed with the right key;
    // the launcher started and up to date.
    std::string startTesting(Child& launcher) {
        if (!startServer()) {
            ADD_FAILURE() << "no nginx";
            return "";
        }
        world->release("1.0.0");
        world->preinstall(world->release("1.1.0-test", true), true);
        writeBytes(world->launcherDir() / "launcher.cfg",
                   "tester_key = PLAY-TEST-42\nchannel = testing\n");
        return startShowing(launcher, {}, "UpToDate 1024x620");
    }

    // Closes the window as a desktop does; the launcher ends at once with exit code 0.
    void closeWindow(Child& launcher, const std::string& window) {
        world->xHelper({"close", window});
        EXPECT_EQ(launcher.wait(10), 0);
    }

    std::string gameVersion() { return readBytes(world->gameDir() / "data" / "version.txt"); }

    std::unique_ptr<GuiWorld> world;
};

TEST_F(LauncherGui, InstallEndsShowingPlay) {
    ASSERT_TRUE(startServer());
    world->release("1.0.0");
    Child launcher;
    const std::string window = startShowing(launcher, {"--install"}, "UpToDate 1024x620");
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(fs::exists(world->gameDir() / "corvanthe.exe"));
    EXPECT_TRUE(fs::exists(world->gameDir() / ".installed"));
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    EXPECT_TRUE(playShown(world->look(window, "install-play-1024x620")));
    closeWindow(launcher, window);
    EXPECT_TRUE(contains(world->log(), "launcher: closing"));

    // "--shot" with no time saves the first frame and ends the launcher.
    const fs::path shot = shotsFolder() / "first-frame-1024x620.png";
    fs::remove(shot);
    Child again = world->start({"--shot", ":" + shot.string()});
    EXPECT_EQ(again.wait(60), 0) << world->output();
    EXPECT_TRUE(fs::exists(shot));
    EXPECT_TRUE(contains(world->log(), "launcher: saved " + shot.string()));
}

TEST_F(LauncherGui, CheckForUpdatesThenUpdateThenVerify) {
    Child launcher;
    const std::string window = startInstalled(launcher);
    ASSERT_FALSE(window.empty());

    // A new release; "Check for updates" finds it, and the first available update of the run
    // starts by itself.
    world->release("1.1.0");
    std::size_t at = mark();
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0\n");
    world->shot(window, "updated-by-itself");

    // That automatic update is spent: the next release found waits for the player's UPDATE.
    world->release("1.2.0");
    at = mark();
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(shows("UpdateAvailable 1024x620", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0\n");
    world->shot(window, "update-available");
    at = mark();
    world->click(window, kActionX, kActionY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.2.0\n");
    world->shot(window, "updated-play");

    // A damaged file of the right size: a check trusts what ".installed" records, only
    // "Verify game files" looks at the content and puts the file right.
    const fs::path pak = world->gameDir() / "data" / "world.pak";
    const std::string good = readBytes(pak);
    std::string bad = good;
    bad[bad.size() / 2] ^= 0x5a;
    writeBytes(pak, bad);
    at = mark();
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(readBytes(pak), bad);
    at = mark();
    world->click(window, kVerifyX, kVerifyY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(readBytes(pak), good);

    closeWindow(launcher, window);
}

// A tap: press and release with no time between them, as a touchpad sends it. Each one is a
// click, however short it is against the frame.
TEST_F(LauncherGui, ClicksWithNoHoldAllCount) {
    Child launcher;
    const std::string window = startInstalled(launcher);
    ASSERT_FALSE(window.empty());
    world->xdotool(
        {"mousemove", "--window", window, std::to_string(kCheckX), std::to_string(kCheckY)});
    const auto manifests = [&] { return world->nginx().requestsFor("/manifest-win64.txt").size(); };
    for (int i = 0; i < 8; ++i) {
        const std::size_t before = manifests();
        const std::size_t at = mark();
        world->xdotool({"click", "1"});
        ASSERT_TRUE(shows("UpToDate 1024x620", at)) << "tap " << i << "\n" << world->log();
        EXPECT_EQ(manifests(), before + 1) << "tap " << i;
    }
    closeWindow(launcher, window);
}

TEST_F(LauncherGui, VerifyOptionRepairsOnceTheGameIsUpToDate) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    const fs::path pak = world->gameDir() / "data" / "world.pak";
    const std::string good = readBytes(pak);
    writeBytes(pak, std::string(good.size(), 'x'));
    Child launcher;
    const std::string window = startShowing(launcher, {"--verify"}, "");
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(waitUntil([&] { return readBytes(pak) == good; }, kStateSeconds)) << world->log();
    closeWindow(launcher, window);
}

TEST_F(LauncherGui, PlayStartsTheGameInItsFolderAndTheLauncherEnds) {
    Child launcher;
    const std::string window = startInstalled(launcher);
    ASSERT_FALSE(window.empty());
    world->shot(window, "play-1024x620");
    world->click(window, kActionX, kActionY);
    EXPECT_EQ(launcher.wait(30), 0);
    EXPECT_TRUE(contains(world->log(), "launcher: started the game"));
    EXPECT_TRUE(contains(world->log(), "launcher: closing"));
    const fs::path started = world->gameDir() / "corvanthe-started.txt";
    ASSERT_TRUE(waitUntil([&] { return contains(readBytes(started), "time "); }, 30.0));
    const std::string report = readBytes(started);
    EXPECT_TRUE(contains(report, "arguments 0\n")) << report;
    EXPECT_TRUE(contains(report, "folder " + fs::canonical(world->gameDir()).string() + "\n"))
        << report;
}

TEST_F(LauncherGui, KeyDialogTakesTypedAndPastedKeyAndFollowsTesting) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    world->release("1.1.0-test", true);
    Child launcher;
    const std::string window = startShowing(launcher, {}, "UpToDate 1024x620");
    ASSERT_FALSE(window.empty());

    world->click(window, kKeyButtonX, kKeyButtonY);
    ASSERT_TRUE(shows("UpToDate dialog(0) 1024x620")) << world->log();
    world->focus(window);
    // A frame applies its keys before its typed text, so the Backspace waits until a frame has
    // taken the letter.
    world->type("q");
    ASSERT_TRUE(shows("UpToDate dialog(1) 1024x620")) << world->log();
    world->keys({"BackSpace"});
    ASSERT_TRUE(shows("UpToDate dialog(0) 1024x620")) << world->log();
    Child clipboard({binary("x_helper"), "clipboard", "  play-", "60"}, world->env(), world->root(),
                    world->root() / "clipboard.txt");
    ASSERT_TRUE(waitUntil(
        [&] { return contains(readBytes(world->root() / "clipboard.txt"), "ready"); }, 10.0));
    world->keys({"ctrl+v"});
    world->type("test-42");
    ASSERT_TRUE(shows("UpToDate dialog(12) 1024x620")) << world->log();
    world->shot(window, "key-dialog");
    const std::size_t at = mark();
    world->keys({"Return"});

    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->settingsText() << world->log();
    EXPECT_TRUE(fs::exists(world->gameDir() / "data" / "playtest.txt"));
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");
    bool keySent = false;
    for (const auto& r : world->nginx().requestsFor("/testing/")) {
        if (r.key == "PLAY-TEST-42" && r.status == 200) keySent = true;
    }
    EXPECT_TRUE(keySent);
    world->shot(window, "testing-channel");
    closeWindow(launcher, window);
}

// A Testing build is installed and the player mistypes the key: the launcher follows Live, says
// "Key not accepted" where it can be seen, and offers Live's release with UPDATE, but leaves the
// Testing build alone until the player decides.
TEST_F(LauncherGui, RefusedKeyLeavesTheTestingBuildAndSaysSoAtEverySize) {
    Child launcher;
    const std::string window = startTesting(launcher);
    ASSERT_FALSE(window.empty());

    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpToDate menu 1024x620")) << world->log();
    world->click(window, kRowX, kRowChangeY);
    ASSERT_TRUE(shows("UpToDate dialog(0) 1024x620")) << world->log();
    world->focus(window);
    // Longer than the field: its end, where the caret is, stays in sight.
    world->type(kLongKey);
    ASSERT_TRUE(shows("UpToDate dialog(47) 1024x620")) << world->log();
    world->shot(window, "key-field-1024x620");
    const std::size_t objectsBefore = world->nginx().requestsFor("/objects/").size();
    std::size_t at = mark();
    world->keys({"KP_Enter"});
    ASSERT_TRUE(shows("UpdateAvailable 1024x620", at)) << world->log();
    EXPECT_TRUE(contains(world->log(), "playtester key refused; following Live"));
    // The player's choice stays; only this run follows Live, and nothing was downloaded.
    EXPECT_EQ(world->settingsText(), std::string(kSettingsHeader) +
                                         "tester_key = " + kLongKeyUpper + "\nchannel = testing\n");
    EXPECT_EQ(world->nginx().requestsFor("/objects/").size(), objectsBefore);
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0-test\n");
    // "Key not accepted" under the drop-down (key area at 346, its line 68 lower).
    const RgbImage refused = world->look(window, "key-refused-1024x620");
    EXPECT_GT(pixelsNear(refused, 48, 414, 190, 16, paletteError), 300);
    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpdateAvailable menu 1024x620")) << world->log();
    world->shot(window, "channel-menu-1024x620");
    world->focus(window);
    world->keys({"Escape"});
    ASSERT_TRUE(shows("UpdateAvailable 1024x620")) << world->log();

    world->xdotool({"windowsize", window, "820", "520"});
    ASSERT_TRUE(shows("UpdateAvailable 820x520")) << world->log();
    // In the low window the line would fall under the action bar: beside the caption "BUILD".
    const RgbImage refusedSmall = world->look(window, "key-refused-820x520");
    EXPECT_GT(pixelsNear(refusedSmall, 122, 338, 190, 16, paletteError), 300);
    EXPECT_EQ(pixelsNear(refusedSmall, 48, 406, 190, 16, paletteError), 0);
    world->click(window, kDropDownX, kDropDownSmallY);
    ASSERT_TRUE(shows("UpdateAvailable menu 820x520")) << world->log();
    world->shot(window, "channel-menu-820x520");
    world->click(window, kRowX, kRowChangeSmallY);
    ASSERT_TRUE(shows("UpdateAvailable dialog(0) 820x520")) << world->log();
    world->focus(window);
    world->type(kLongKey);
    ASSERT_TRUE(shows("UpdateAvailable dialog(47) 820x520")) << world->log();
    world->shot(window, "key-field-820x520");
    world->keys({"Escape"});
    ASSERT_TRUE(shows("UpdateAvailable 820x520")) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0-test\n");

    // UPDATE is the player's decision.
    at = mark();
    world->click(window, kActionX - 204, kActionY - 100);
    ASSERT_TRUE(shows("UpToDate 820x520", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    closeWindow(launcher, window);
}

// While a newer Testing build downloads, the version line names both builds; it gives way to
// "TESTING BUILD" with "..." rather than running under the news panel.
TEST_F(LauncherGui, VersionLineMakesRoomForTheTestingTagAtEverySize) {
    world->nginx().setObjectRate("100k");
    Child launcher;
    ASSERT_TRUE(startServer());
    world->release("1.0.0");
    world->preinstall(world->release("1.1.0-test", true), true);
    world->release("1.2.0-test", true, 4000000);
    writeBytes(world->launcherDir() / "launcher.cfg",
               "tester_key = PLAY-TEST-42\nchannel = testing\n");
    const std::string window = startShowing(launcher, {}, "Working busy 1024x620");
    ASSERT_FALSE(window.empty());
    // The version line's row (90 + 8 s) up to the news panel (520 and 467): the version text
    // starts it and "TESTING BUILD" follows before the panel.
    const RgbImage wide = world->look(window, "testing-build-1024x620");
    EXPECT_GT(pixelsNear(wide, 48, 154, 100, 16, paletteTextDim), 200);
    EXPECT_GT(pixelsNear(wide, 48, 154, 520 - 48, 16, paletteAccent), 400);
    world->xdotool({"windowsize", window, "820", "520"});
    ASSERT_TRUE(shows("Working busy 820x520")) << world->log();
    const RgbImage narrow = world->look(window, "testing-build-820x520");
    EXPECT_GT(pixelsNear(narrow, 48, 146, 100, 16, paletteTextDim), 200);
    EXPECT_GT(pixelsNear(narrow, 48, 146, 467 - 48, 16, paletteAccent), 400);
    EXPECT_FALSE(fs::exists(world->gameDir() / "data" / "version.txt") &&
                 gameVersion() == "Corvanthe 1.2.0-test\n");
    closeWindow(launcher, window);
}

TEST_F(LauncherGui, ChannelMenuSwitchesChangesAndForgetsTheKey) {
    Child launcher;
    const std::string window = startTesting(launcher);
    ASSERT_FALSE(window.empty());

    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpToDate menu 1024x620")) << world->log();
    world->shot(window, "channel-menu");
    std::size_t at = mark();
    world->click(window, kRowX, kRowLiveY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = live\n");

    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpToDate menu 1024x620")) << world->log();
    at = mark();
    world->click(window, kRowX, kRowTestingY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0-test\n");
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");

    // "Change key..." opens the dialog in place of the menu; Escape closes it without a change.
    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpToDate menu 1024x620")) << world->log();
    world->click(window, kRowX, kRowChangeY);
    ASSERT_TRUE(shows("UpToDate dialog(0) 1024x620")) << world->log();
    world->shot(window, "change-key");
    world->focus(window);
    world->keys({"Escape"});
    ASSERT_TRUE(shows("UpToDate 1024x620")) << world->log();
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");

    world->click(window, kDropDownX, kDropDownY);
    ASSERT_TRUE(shows("UpToDate menu 1024x620")) << world->log();
    at = mark();
    world->click(window, kRowX, kRowForgetY);
    ASSERT_TRUE(shows("UpToDate 1024x620", at)) << world->log();
    EXPECT_EQ(world->settingsText(), kSettingsHeader);
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    world->shot(window, "key-forgotten");
    closeWindow(launcher, window);
}

TEST_F(LauncherGui, WindowIconAppearsOnceInstalledAndTheWindowKeepsItsMinimumSize) {
    world->nginx().setObjectRate("400k");
    ASSERT_TRUE(startServer());
    world->release("1.0.0", false, 1500000);
    Child launcher;
    const std::string window = startShowing(launcher, {"--install"}, "");
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(world->xHelper({"minsize", window}), "820 520");
    EXPECT_EQ(world->xHelper({"icon", window}), "0");
    sleepSeconds(1.0);
    world->shot(window, "downloading-1024x620");
    EXPECT_FALSE(fs::exists(world->gameDir() / ".installed"));
    EXPECT_EQ(world->xHelper({"icon", window}), "0");

    ASSERT_TRUE(waitUntil(
        [&] {
            return world->xHelper({"icon", window}) != "0";
        },
        kStateSeconds))
        << world->log();
    EXPECT_TRUE(fs::exists(world->gameDir() / ".installed"));
    // The icon group holds 256, 128, 64, 48, 32 and 16 pixel images; the 256 one is stored as
    // PNG, which the reader leaves out. Each image is 2 numbers of size and w*h pixels.
    EXPECT_EQ(world->xHelper({"icon", window}),
              std::to_string(2 * 5 + 128 * 128 + 64 * 64 + 48 * 48 + 32 * 32 + 16 * 16));

    ASSERT_TRUE(shows("UpToDate 1024x620")) << world->log();
    world->shot(window, "installed-1024x620");
    world->xdotool({"windowsize", window, "820", "520"});
    ASSERT_TRUE(shows("UpToDate 820x520")) << world->log();
    world->shot(window, "installed-820x520");
    closeWindow(launcher, window);
}

TEST_F(LauncherGui, ClosingTheWindowDuringADownloadEndsTheProcessAtOnce) {
    world->nginx().setObjectRate("100k");
    ASSERT_TRUE(startServer());
    world->release("1.0.0", false, 4000000);
    Child launcher;
    const std::string window = startShowing(launcher, {"--install"}, "");
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(waitUntil(
        [&] {
            return !world->nginx().requestsFor("/objects/").empty() ||
                   fs::exists(world->launcherDir() / ".staging");
        },
        20.0));
    sleepSeconds(1.0);
    ASSERT_FALSE(launcher.ended());
    world->shot(window, "download-in-progress");
    const auto start = std::chrono::steady_clock::now();
    closeWindow(launcher, window);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0);
    EXPECT_FALSE(fs::exists(world->gameDir() / ".installed"));
    EXPECT_TRUE(contains(world->log(), "launcher: closing"));
}

// The restarted launcher is not our child: it is found by its executable in /proc.
struct Process {
    pid_t pid = -1;
    std::vector<std::string> args;
    fs::path folder;
};

std::vector<Process> processesOf(const fs::path& exe) {
    std::vector<Process> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        if (fs::read_symlink(entry.path() / "exe", linkError) != exe) continue;
        Process p;
        p.pid = std::stoi(name);
        const std::string cmdline = readBytes(entry.path() / "cmdline");
        std::size_t at = 0;
        while (at < cmdline.size()) {
            const std::size_t end = cmdline.find('\0', at);
            p.args.push_back(cmdline.substr(at, end - at));
            at = end == std::string::npos ? cmdline.size() : end + 1;
        }
        p.folder = fs::read_symlink(entry.path() / "cwd", linkError);
        found.push_back(p);
    }
    return found;
}

TEST_F(LauncherGui, SelfUpdateReplacesTheRunningLauncherAndRestartsIt) {
    ASSERT_TRUE(startServer());
    // A newer build: a different file that runs the same.
    const fs::path newer = world->root() / "newer-launcher";
    writeBytes(newer, readBytes(world->launcherExe()) + std::string("\nnewer build\n"));
    const fs::path source = world->root() / "source-1.0.0";
    writeGameSource(source, "1.0.0", 20000);
    ASSERT_TRUE(world->publish(source, "1.0.0", false, "# News\n", newer));

    const fs::path exe = fs::canonical(world->launcherExe());
    Child first = world->start({"--fast"});
    EXPECT_EQ(first.wait(kStateSeconds), 0) << world->output();
    EXPECT_EQ(readBytes(world->launcherExe()), readBytes(newer));

    // The new launcher runs with the old arguments and "--updated", in the launcher folder.
    Process restarted;
    waitUntil(
        [&] {
            for (const Process& p : processesOf(exe)) {
                if (p.pid != first.pid()) restarted = p;
            }
            return restarted.pid > 0;
        },
        30.0);
    ASSERT_GT(restarted.pid, 0) << world->log();
    EXPECT_EQ(restarted.args,
              (std::vector<std::string>{exe.string(), "--server", world->nginx().url(), "--fast",
                                        "--updated"}));
    EXPECT_EQ(restarted.folder, fs::canonical(world->launcherDir()));

    // Its start removed the old executable; it shows the release, not installed, it now serves.
    std::string window;
    waitUntil(
        [&] {
            window =
                world->xdotool({"search", "--onlyvisible", "--pid", std::to_string(restarted.pid)});
            window = window.substr(0, window.find('\n'));
            return !window.empty();
        },
        30.0);
    ASSERT_FALSE(window.empty()) << world->log();
    ASSERT_TRUE(shows("NotInstalled 1024x620")) << world->log();
    EXPECT_FALSE(fs::exists(world->launcherExe().string() + ".old"));
    world->shot(window, "self-updated");
    world->xHelper({"close", window});
    EXPECT_TRUE(waitUntil([&] { return kill(restarted.pid, 0) != 0; }, 30.0));
    // Each start rotated the log of the one before into a dated file.
    std::string logs;
    for (const auto& entry : fs::directory_iterator(world->launcherDir() / "logs"))
        logs += readBytes(entry.path());
    std::size_t starts = 0;
    for (std::size_t at = logs.find("Corvanthe launcher, "); at != std::string::npos;
         at = logs.find("Corvanthe launcher, ", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 2u) << logs;
    EXPECT_TRUE(contains(logs, "launcher: replaced itself")) << logs;
}

} // namespace
} // namespace qv::launcher
