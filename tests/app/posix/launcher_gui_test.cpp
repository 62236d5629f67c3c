// The real launcher under a private Xvfb against nginx on 127.0.0.1, driven with xdotool: it
// installs, updates, checks, verifies, takes playtester keys, switches channels, starts the game,
// replaces itself, and closes at once. Screenshots of the states land in <build>/gui-shots.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>

#include "gui_fixture.h"

namespace qv::launcher {
namespace {

using namespace test;

// Where things are at the start size of 1024 by 620 (title scale 8).
const int kVerifyX = 100, kVerifyY = 229;
const int kCheckX = 100, kCheckY = 305;
const int kKeyButtonX = 100, kKeyButtonY = 361;
const int kDropDownX = 178, kDropDownY = 386;
const int kRowX = 100, kRowLiveY = 427, kRowTestingY = 461, kRowChangeY = 495, kRowForgetY = 529;
const int kActionX = 859, kActionY = 541;

const char* const kSettingsHeader = "# Corvanthe launcher settings. Written by the launcher.\n";

class LauncherGui : public testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is unset)";
        if (developmentKeyFile().empty()) {
            GTEST_SKIP() << "the launcher carries a given release key; these tests sign with the "
                            "build's development key";
        }
        world = std::make_unique<GuiWorld>();
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
    }

    bool startServer() { return world->nginx().start(); }

    // The first check has fetched the manifest and had time to report.
    bool checked(std::size_t manifests = 1) {
        const bool asked = waitUntil([&] {
            std::size_t n = 0;
            for (const auto& r : world->nginx().requests()) {
                if (contains(r.uri, "manifest-win64.txt")) ++n;
            }
            return n >= manifests;
        }, 20.0);
        sleepSeconds(0.8);
        return asked;
    }

    std::string gameVersion() { return readBytes(world->gameDir() / "data" / "version.txt"); }

    std::unique_ptr<GuiWorld> world;
};

TEST_F(LauncherGui, InstallEndsShowingPlay) {
    ASSERT_TRUE(startServer());
    world->release("1.0.0");
    const fs::path shot = shotsFolder() / "install-play-1024x620.png";
    fs::remove(shot);
    Child launcher = world->start({"--install", "--shot", "5:" + shot.string()});
    EXPECT_EQ(launcher.wait(60), 0) << world->output();
    EXPECT_TRUE(fs::exists(world->gameDir() / "corvanthe.exe"));
    EXPECT_TRUE(fs::exists(world->gameDir() / ".installed"));
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    EXPECT_TRUE(fs::exists(shot));
    EXPECT_TRUE(contains(world->log(), "launcher: saved " + shot.string()));
    EXPECT_TRUE(contains(world->log(), "launcher: closing"));
}

TEST_F(LauncherGui, CheckForUpdatesThenUpdateThenVerify) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(checked());

    // A new release; "Check for updates" finds it, and the first available update of the run
    // starts by itself.
    world->release("1.1.0");
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.1.0\n"; }, 30.0)) << world->log();
    sleepSeconds(0.5);
    world->shot(window, "updated-by-itself");

    // That automatic update is spent: the next release found waits for the player's UPDATE.
    world->release("1.2.0");
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(checked(3));
    sleepSeconds(1.0);
    EXPECT_EQ(gameVersion(), "Corvanthe 1.1.0\n");
    world->shot(window, "update-available");
    world->click(window, kActionX, kActionY);
    ASSERT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.2.0\n"; }, 30.0)) << world->log();
    sleepSeconds(0.5);
    world->shot(window, "updated-play");

    // A damaged file of the right size: a check trusts what ".installed" records, only
    // "Verify game files" looks at the content and puts the file right.
    const fs::path pak = world->gameDir() / "data" / "world.pak";
    const std::string good = readBytes(pak);
    std::string bad = good;
    bad[bad.size() / 2] ^= 0x5a;
    writeBytes(pak, bad);
    world->click(window, kCheckX, kCheckY);
    ASSERT_TRUE(checked(4));
    EXPECT_EQ(readBytes(pak), bad);
    // The button is disabled while a run goes, so it is pressed until the verifying run came.
    EXPECT_TRUE(waitUntil([&] {
        if (readBytes(pak) != good) world->click(window, kVerifyX, kVerifyY);
        return readBytes(pak) == good;
    }, 30.0)) << world->log();

    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, VerifyOptionRepairsOnceTheGameIsUpToDate) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    const fs::path pak = world->gameDir() / "data" / "world.pak";
    const std::string good = readBytes(pak);
    writeBytes(pak, std::string(good.size(), 'x'));
    Child launcher = world->start({"--verify"});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    EXPECT_TRUE(waitUntil([&] { return readBytes(pak) == good; }, 30.0)) << world->log();
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, PlayStartsTheGameInItsFolderAndTheLauncherEnds) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(checked());
    world->shot(window, "play-1024x620");
    // PLAY acts only once the check is done; press it until the launcher is gone.
    waitUntil([&] {
        if (launcher.ended()) return true;
        world->click(window, kActionX, kActionY);
        return launcher.ended();
    }, 20.0);
    EXPECT_EQ(launcher.wait(5), 0);
    EXPECT_TRUE(contains(world->log(), "launcher: started the game"));
    EXPECT_TRUE(contains(world->log(), "launcher: closing"));
    const fs::path started = world->gameDir() / "corvanthe-started.txt";
    ASSERT_TRUE(waitUntil([&] { return contains(readBytes(started), "time "); }, 10.0));
    const std::string report = readBytes(started);
    EXPECT_TRUE(contains(report, "arguments 0\n")) << report;
    EXPECT_TRUE(contains(report, "folder " + fs::canonical(world->gameDir()).string() + "\n")) << report;
}

TEST_F(LauncherGui, KeyDialogTakesTypedAndPastedKeyAndFollowsTesting) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    world->release("1.1.0-test", true);
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(checked());

    world->click(window, kKeyButtonX, kKeyButtonY);
    world->focus(window);
    // A frame applies its keys before its typed text, so the Backspace gets a frame of its own.
    world->type("q");
    sleepSeconds(0.6);
    world->keys({"BackSpace"});
    sleepSeconds(0.6);
    Child clipboard({binary("x_helper"), "clipboard", "  play-", "60"}, world->env(), world->root(),
                    world->root() / "clipboard.txt");
    ASSERT_TRUE(waitUntil([&] { return contains(readBytes(world->root() / "clipboard.txt"), "ready"); }, 10.0));
    world->keys({"ctrl+v"});
    world->type("test-42");
    sleepSeconds(0.3);
    world->shot(window, "key-dialog");
    world->keys({"Return"});

    ASSERT_TRUE(waitUntil([&] { return fs::exists(world->gameDir() / "data" / "playtest.txt"); }, 30.0))
        << world->settingsText() << world->log();
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");
    bool keySent = false;
    for (const auto& r : world->nginx().requestsFor("/testing/")) {
        if (r.key == "PLAY-TEST-42" && r.status == 200) keySent = true;
    }
    EXPECT_TRUE(keySent);
    sleepSeconds(0.5);
    world->shot(window, "testing-channel");
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, RefusedKeyShowsKeyNotAcceptedWhileFollowingLive) {
    ASSERT_TRUE(startServer());
    world->preinstall(world->release("1.0.0"));
    world->release("1.1.0-test", true);
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(checked());

    world->click(window, kKeyButtonX, kKeyButtonY);
    world->focus(window);
    world->type("wrong-key");
    world->keys({"KP_Enter"});
    ASSERT_TRUE(waitUntil([&] { return contains(world->log(), "playtester key refused; following Live"); },
                          20.0))
        << world->log();
    sleepSeconds(1.0);
    world->shot(window, "key-refused");
    // The player's choice stays; only this run follows Live.
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = WRONG-KEY\nchannel = testing\n");
    EXPECT_FALSE(fs::exists(world->gameDir() / "data" / "playtest.txt"));
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, ChannelMenuSwitchesChangesAndForgetsTheKey) {
    ASSERT_TRUE(startServer());
    world->release("1.0.0");
    world->preinstall(world->release("1.1.0-test", true), true);
    writeBytes(world->launcherDir() / "launcher.cfg", "tester_key = PLAY-TEST-42\nchannel = testing\n");
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(checked());

    world->click(window, kDropDownX, kDropDownY);
    sleepSeconds(0.3);
    world->shot(window, "channel-menu");
    world->click(window, kRowX, kRowLiveY);
    EXPECT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.0.0\n"; }, 30.0)) << world->log();
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = live\n");
    sleepSeconds(0.5);

    world->click(window, kDropDownX, kDropDownY);
    world->click(window, kRowX, kRowTestingY);
    EXPECT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.1.0-test\n"; }, 30.0)) << world->log();
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");
    sleepSeconds(0.5);

    // "Change key..." opens the dialog in place of the menu; Escape closes it without a change.
    world->click(window, kDropDownX, kDropDownY);
    world->click(window, kRowX, kRowChangeY);
    sleepSeconds(0.3);
    world->shot(window, "change-key");
    world->focus(window);
    world->keys({"Escape"});
    sleepSeconds(0.3);
    EXPECT_EQ(world->settingsText(),
              std::string(kSettingsHeader) + "tester_key = PLAY-TEST-42\nchannel = testing\n");

    // Had the dialog stayed open, these clicks would have gone to it and not to the menu.
    world->click(window, kDropDownX, kDropDownY);
    world->click(window, kRowX, kRowForgetY);
    EXPECT_TRUE(waitUntil([&] { return world->settingsText() == kSettingsHeader; }, 10.0))
        << world->settingsText();
    EXPECT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.0.0\n"; }, 30.0)) << world->log();
    sleepSeconds(0.5);
    world->shot(window, "key-forgotten");
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, WindowIconAppearsOnceInstalledAndTheWindowKeepsItsMinimumSize) {
    world->nginx().setObjectRate("400k");
    ASSERT_TRUE(startServer());
    world->release("1.0.0", false, 1500000);
    Child launcher = world->start({"--install"});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    EXPECT_EQ(world->xHelper({"minsize", window}), "820 520");
    EXPECT_EQ(world->xHelper({"icon", window}), "0");
    sleepSeconds(1.0);
    world->shot(window, "downloading-1024x620");
    EXPECT_FALSE(fs::exists(world->gameDir() / ".installed"));
    EXPECT_EQ(world->xHelper({"icon", window}), "0");

    ASSERT_TRUE(waitUntil([&] { return world->xHelper({"icon", window}) != "0"; }, 30.0)) << world->log();
    EXPECT_TRUE(fs::exists(world->gameDir() / ".installed"));
    // The icon group holds 256, 128, 64, 48, 32 and 16 pixel images; the 256 one is stored as
    // PNG, which the reader leaves out. Each image is 2 numbers of size and w*h pixels.
    EXPECT_EQ(world->xHelper({"icon", window}),
              std::to_string(2 * 5 + 128 * 128 + 64 * 64 + 48 * 48 + 32 * 32 + 16 * 16));

    world->shot(window, "installed-1024x620");
    world->xdotool({"windowsize", window, "820", "520"});
    sleepSeconds(0.8);
    world->shot(window, "installed-820x520");
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

TEST_F(LauncherGui, ClosingTheWindowDuringADownloadEndsTheProcessAtOnce) {
    world->nginx().setObjectRate("100k");
    ASSERT_TRUE(startServer());
    world->release("1.0.0", false, 4000000);
    Child launcher = world->start({"--install"});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    ASSERT_TRUE(waitUntil([&] { return !world->nginx().requestsFor("/objects/").empty() ||
                                       fs::exists(world->launcherDir() / ".staging"); }, 20.0));
    sleepSeconds(1.0);
    ASSERT_FALSE(launcher.ended());
    world->shot(window, "download-in-progress");
    const auto start = std::chrono::steady_clock::now();
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    Child first = world->start({"--fast", "--shot", "6:restarted.png"});
    EXPECT_EQ(first.wait(30), 0) << world->output();
    EXPECT_EQ(readBytes(world->launcherExe()), readBytes(newer));

    // The new launcher runs with the old arguments and "--updated", in the launcher folder.
    Process restarted;
    waitUntil([&] {
        for (const Process& p : processesOf(exe)) {
            if (p.pid != first.pid()) restarted = p;
        }
        return restarted.pid > 0;
    }, 10.0);
    ASSERT_GT(restarted.pid, 0) << world->log();
    EXPECT_EQ(restarted.args, (std::vector<std::string>{exe.string(), "--server", world->nginx().url(),
                                                        "--fast", "--shot", "6:restarted.png",
                                                        "--updated"}));
    EXPECT_EQ(restarted.folder, fs::canonical(world->launcherDir()));

    // Its start removed the old executable; it took its screenshot in its folder and closed.
    EXPECT_TRUE(waitUntil([&] { return contains(world->log(), "launcher: saved restarted.png"); }, 30.0))
        << world->log();
    EXPECT_TRUE(waitUntil([&] { return kill(restarted.pid, 0) != 0; }, 10.0));
    EXPECT_FALSE(fs::exists(world->launcherExe().string() + ".old"));
    EXPECT_TRUE(fs::exists(world->launcherDir() / "restarted.png"));
    fs::copy_file(world->launcherDir() / "restarted.png", shotsFolder() / "self-updated.png",
                  fs::copy_options::overwrite_existing);
    // Each start rotated the log of the one before into a dated file.
    std::string logs;
    for (const auto& entry : fs::directory_iterator(world->launcherDir() / "logs")) logs += readBytes(entry.path());
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
