// The Windows build for real: corvanthe-launcher.exe and the headless driver under wine, against
// nginx on 127.0.0.1, with releases made by the publisher. This side runs natively and starts
// the Windows programs through wine64; the Windows build folder comes from
// CORVANTHE_WINDOWS_BUILD and the wine prefix (with its server already running) from WINEPREFIX,
// as "scripts/test.sh windows" sets them up. Without them the tests are skipped.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../../support/setup_skip.h"
#include "gui_fixture.h"
#include "shot_compare.h"

namespace qv::launcher {
namespace {

using namespace test;

const char* const kWine = "/usr/lib/wine/wine64";
const char* const kWineServer = "/usr/lib/wine/wineserver64";
const int kActionX = 859, kActionY = 541;

const char* const kNoGlfw = "Could not open a window (GLFW failed to start).";
const char* const kNoOpenGl =
    "Corvanthe needs a graphics card and driver with OpenGL 4.5, and this machine did not offer "
    "one. Updating the graphics driver usually fixes it.";

fs::path windowsBuild() {
    const char* folder = std::getenv("CORVANTHE_WINDOWS_BUILD");
    return folder ? fs::path(folder) : fs::path();
}
fs::path windowsProgram(const char* name) {
    return windowsBuild() / name;
}

// The release paths whose content differs between the two sets, or that only one has; empty
// when they are the same.
std::string differences(const Files& got, const Files& wanted) {
    std::string out;
    for (const auto& [path, content] : got) {
        const auto other = wanted.find(path);
        if (other == wanted.end())
            out += "extra " + path + "\n";
        else if (other->second != content)
            out += "differs " + path + "\n";
    }
    for (const auto& [path, content] : wanted) {
        if (!got.count(path)) out += "missing " + path + "\n";
    }
    return out;
}

// The highest N of the driver's "Downloading N of" lines; 0 before the first.
int downloadsShown(const std::string& output) {
    int most = 0;
    const std::string mark = "Downloading ";
    for (std::size_t at = output.find(mark); at != std::string::npos;
         at = output.find(mark, at + 1))
        most = std::max(most, std::atoi(output.c_str() + at + mark.size()));
    return most;
}

class WineLauncher : public testing::Test {
  protected:
    void SetUp() override {
        if (windowsBuild().empty() || !std::getenv("WINEPREFIX")) {
            SKIP_WITHOUT_SETUP("no Windows build to drive (CORVANTHE_WINDOWS_BUILD, WINEPREFIX): "
                               "'bash scripts/test.sh windows' builds one and runs these");
        }
        if (!std::getenv("DISPLAY")) SKIP_WITHOUT_SETUP("no X display (DISPLAY is unset)");
        nginx = std::make_unique<Nginx>(site(), tmp.path() / "nginx", "PLAY-TEST-42");
        ASSERT_TRUE(nginx->start());
        fs::create_directories(site());
        fs::create_directories(launcherDir());
        // The exe to ship, stripped, as players get it.
        fs::copy_file(windowsProgram("ship/corvanthe-launcher.exe"), launcherExe());
    }

    fs::path site() const { return tmp.path() / "site"; }
    fs::path launcherDir() const { return tmp.path() / "launcher"; }
    fs::path launcherExe() const { return launcherDir() / "corvanthe-launcher.exe"; }
    fs::path gameDir() const { return launcherDir() / "game"; }
    std::string log() const { return readBytes(launcherDir() / "logs" / "latest.log"); }
    std::string output() const { return readBytes(tmp.path() / "output.txt"); }
    std::string gameVersion() const { return readBytes(gameDir() / "data" / "version.txt"); }

    // The wine settings (WINEPREFIX and the rest) pass through from our environment; the
    // display only when asked for, ours unless extra names one.
    Environment env(Environment extra = {}, bool withDisplay = true) const {
        if (withDisplay && !extra.count("DISPLAY")) extra["DISPLAY"] = std::getenv("DISPLAY");
        return extra;
    }

    Child run(const fs::path& exe, std::vector<std::string> args, Environment environment,
              const fs::path& output) {
        args.insert(args.begin(), {kWine, exe.string()});
        return Child(args, environment, tmp.path(), output);
    }
    Child startLauncher(std::vector<std::string> args, Environment extra = {},
                        bool withDisplay = true) {
        args.insert(args.begin(), {"--server", nginx->url()});
        return run(launcherExe(), args, env(std::move(extra), withDisplay),
                   tmp.path() / "output.txt");
    }

    // A game folder with the Windows stand-in game; "common.pak" is the same in every version.
    fs::path gameSource(const std::string& version) {
        const fs::path folder = tmp.path() / ("source-" + version);
        fs::create_directories(folder / "data");
        fs::copy_file(windowsProgram("demo_game.exe"), folder / "corvanthe.exe",
                      fs::copy_options::overwrite_existing);
        writeBytes(folder / "data" / "version.txt", "Corvanthe " + version + "\n");
        writeBytes(folder / "data" / "world.pak",
                   randomBytes(30000, std::hash<std::string>{}(version)));
        writeBytes(folder / "data" / "common.pak", randomBytes(30000, 7));
        return folder;
    }

    // Published with the development key the Windows launcher carries.
    bool publish(const fs::path& source, const std::string& version,
                 const fs::path& launcher = {}) {
        std::vector<std::string> argv = {buildTool("publish_release"),
                                         "--key",
                                         (windowsBuild() / "dev-key" / "release.key").string(),
                                         "--out",
                                         site().string(),
                                         "--game",
                                         source.string(),
                                         "--version",
                                         version};
        if (!launcher.empty()) argv.insert(argv.end(), {"--launcher", launcher.string()});
        return runProgram(argv, tmp.path() / "publish.log") == 0;
    }

    std::string xdotool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"/usr/bin/xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        return trimmed(runCaptured(argv, env(), tmp.path()));
    }
    std::string launcherWindow() {
        std::string id;
        waitUntil(
            [&] {
                id = xdotool({"search", "--onlyvisible", "--name", "^Corvanthe Launcher$"});
                id = id.substr(0, id.find('\n'));
                return !id.empty();
            },
            60.0);
        return id;
    }
    void click(const std::string& window, int x, int y) {
        xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "sleep",
                 "0.2", "mousedown", "1", "sleep", "0.3", "mouseup", "1", "sleep", "0.1"});
    }
    // The first check of a run has fetched the manifest.
    bool checked(std::size_t manifests) {
        return waitUntil(
            [&] {
                std::size_t n = 0;
                for (const auto& r : nginx->requests())
                    n += contains(r.uri, "manifest-win64.txt");
                return n >= manifests;
            },
            60.0);
    }
    // Keeps a screenshot where the build's other GUI shots go.
    void keepShot(const fs::path& shot, const std::string& name) {
        fs::copy_file(shot, shotsFolder() / ("wine-" + name + ".png"),
                      fs::copy_options::overwrite_existing);
    }

    TempDir tmp{"wine_launcher_test-"};
    std::unique_ptr<Nginx> nginx;
};

TEST_F(WineLauncher, InstallsShowsPlayUpdatesVerifiesAndStartsTheGame) {
    ASSERT_TRUE(publish(gameSource("1.0.0"), "1.0.0"));
    // A start whose shot came before the install had ended (a loaded machine) leaves the rest of
    // the install to the next start, which takes its shot later.
    for (int seconds = 5; seconds <= 40; seconds += 5) {
        Child install =
            startLauncher({"--install", "--shot", std::to_string(seconds) + ":install.png"});
        ASSERT_EQ(install.wait(120), 0) << output() << log();
        if (shownBeforeTheShot(log(), "UpToDate 1024x620")) break;
    }
    EXPECT_EQ(gameVersion(), "Corvanthe 1.0.0\n");
    EXPECT_TRUE(fs::exists(gameDir() / "corvanthe.exe"));
    EXPECT_TRUE(fs::exists(gameDir() / ".installed"));
    EXPECT_TRUE(contains(log(), "launcher: saved install.png")) << log();
    ASSERT_TRUE(fs::exists(tmp.path() / "install.png"));
    keepShot(tmp.path() / "install.png", "install-play");
    EXPECT_TRUE(playShown(readRgbPng((tmp.path() / "install.png").string())));

    // A new release and a damaged file that both releases share: the run's first update comes by
    // itself, and "--verify" then puts the file right once the game is up to date.
    ASSERT_TRUE(publish(gameSource("1.1.0"), "1.1.0"));
    const fs::path common = gameDir() / "data" / "common.pak";
    const std::string good = readBytes(common);
    writeBytes(common, std::string(good.size(), 'x'));
    nginx->clearLog();
    Child update = startLauncher({"--verify"});
    const std::string window = launcherWindow();
    ASSERT_FALSE(window.empty()) << output() << log();
    EXPECT_TRUE(waitUntil(
        [&] { return gameVersion() == "Corvanthe 1.1.0\n" && readBytes(common) == good; }, 120.0))
        << log();

    // PLAY (pressed until it acts: it waits for the check) starts the game in its folder and
    // ends the launcher.
    waitUntil(
        [&] {
            if (!update.ended()) click(window, kActionX, kActionY);
            return update.ended();
        },
        60.0);
    EXPECT_EQ(update.wait(10), 0) << log();
    EXPECT_TRUE(contains(log(), "launcher: started the game")) << log();
    const fs::path started = gameDir() / "corvanthe-started.txt";
    ASSERT_TRUE(waitUntil([&] { return contains(readBytes(started), "time "); }, 30.0));
    const std::string report = readBytes(started);
    EXPECT_TRUE(contains(report, "arguments 0")) << report;
    EXPECT_TRUE(contains(report, "\\launcher\\game")) << report;
}

// A copy of the test's wine prefix whose desktop runs at another dpi (LogPixels), with a
// wineserver of its own that goes with it; the other tests keep the prefix at 100%.
class PrefixAtDpi {
  public:
    PrefixAtDpi(const fs::path& folder, int dpi) : folder_(folder) {
        int code = -1;
        runCaptured({"/bin/cp", "-a", std::getenv("WINEPREFIX"), folder.string()}, {},
                    folder.parent_path(), &code, 300.0);
        if (code != 0) return;
        runCaptured({kWine, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                     "REG_DWORD", "/d", std::to_string(dpi), "/f"},
                    env(), folder.parent_path(), &code, 120.0);
        // The desktop reads the dpi when its server starts: the next program starts a new one.
        stopServer();
        ok_ = code == 0;
    }
    ~PrefixAtDpi() { stopServer(); }
    PrefixAtDpi(const PrefixAtDpi&) = delete;
    PrefixAtDpi& operator=(const PrefixAtDpi&) = delete;

    bool ok() const { return ok_; }
    Environment env() const { return {{"WINEPREFIX", folder_.string()}}; }

  private:
    // Ends this prefix's server and what runs in it, nothing of any other prefix.
    void stopServer() {
        int code = -1;
        runCaptured({kWineServer, "-k"}, env(), folder_.parent_path(), &code, 60.0);
        runCaptured({kWineServer, "-w"}, env(), folder_.parent_path(), &code, 60.0);
    }

    fs::path folder_;
    bool ok_ = false;
};

// GLFW makes the Windows launcher per-monitor DPI aware: at 200% it opens at twice its size in
// pixels, its shot is 2048 by 1240 and, halved, the shot at 100% outside the sparks.
TEST_F(WineLauncher, AtTwiceTheDisplayScaleTheShotIsTwiceAsLargeAndTheSameScreen) {
    const fs::path source = gameSource("1.0.0");
    ASSERT_TRUE(publish(source, "1.0.0"));
    // Installed as the launcher leaves it: the files and the release's manifest.
    fs::copy(source, gameDir(), fs::copy_options::recursive);
    fs::copy_file(site() / "manifest-win64.txt", gameDir() / ".installed");
    xdotool({"mousemove", "0", "0"}); // nothing hovered; the window's corner, not its client area
    PrefixAtDpi twice(tmp.path() / "wine-192dpi", 192);
    ASSERT_TRUE(twice.ok());
    // Twice the start size does not fit the suite's display; wine would shrink the window to it.
    PrivateDisplay large(tmp.path(), "2600x1600x24");
    ASSERT_TRUE(large.ok());
    Environment atTwice = twice.env();
    atTwice["DISPLAY"] = large.name();

    // The shot of a start that saved its frame before the check had ended, or once the sparks
    // had risen further than the comparison allows, is taken again.
    const auto shotOnceUpToDate = [&](const Environment& environment, const std::string& name) {
        const fs::path shot = tmp.path() / (name + ".png");
        double seconds = kShotSeconds - 0.3;
        for (int attempt = 0; attempt < 12; ++attempt) {
            fs::remove(shot);
            Child launcher = startLauncher(
                {"--shot", std::to_string(seconds) + ":" + shot.string()}, environment);
            if (launcher.wait(120) != 0) break;
            const ShotVerdict verdict = shotVerdict(log(), "UpToDate 1024x620", seconds);
            if (verdict.keep) {
                keepShot(shot, name);
                return readRgbPng(shot.string());
            }
            seconds = verdict.nextSeconds;
        }
        ADD_FAILURE() << name << ": no shot of the installed game with young sparks\n"
                      << output() << log();
        return RgbImage{};
    };
    const RgbImage unscaled = shotOnceUpToDate({}, "scale-96dpi-1024x620");
    const RgbImage scaled = shotOnceUpToDate(atTwice, "scale-192dpi-2048x1240");
    ASSERT_FALSE(unscaled.empty());
    ASSERT_FALSE(scaled.empty());
    ASSERT_EQ(unscaled.width, 1024);
    ASSERT_EQ(scaled.width, 2048);
    ASSERT_EQ(scaled.height, 1240);
    const Comparison c =
        compareOutsideSparks(unscaled, scaled, 2.0, "wine-scale-192dpi-differences");
    EXPECT_LT(c.leftDiffering, c.leftCompared / 1000)
        << c.leftDiffering << " of " << c.leftCompared;
    EXPECT_LT(c.differing, c.compared / 50) << c.differing << " of " << c.compared;
}

TEST_F(WineLauncher, SelfUpdateSwapsTheRunningExeAndTheNewOneRestarts) {
    // A newer build: a different file that runs the same (bytes after the image are ignored).
    const fs::path newer = tmp.path() / "newer.exe";
    writeBytes(newer, readBytes(launcherExe()) + std::string("\nnewer build\n"));
    ASSERT_TRUE(publish(gameSource("1.0.0"), "1.0.0", newer));

    // The new exe's shot ends it: late enough for its install on a loaded machine.
    Child first = startLauncher({"--install", "--shot", "20:restarted.png"});
    EXPECT_EQ(first.wait(120), 0) << output() << log();
    EXPECT_EQ(readBytes(launcherExe()), readBytes(newer));
    // The new exe, started with the same arguments and "--updated", installs and takes its shot.
    ASSERT_TRUE(waitUntil([&] { return fs::exists(launcherDir() / "restarted.png"); }, 120.0))
        << log();
    EXPECT_TRUE(waitUntil([&] { return contains(log(), "launcher: closing"); }, 30.0)) << log();
    EXPECT_TRUE(waitUntil([&] { return gameVersion() == "Corvanthe 1.0.0\n"; }, 30.0));
    keepShot(launcherDir() / "restarted.png", "self-updated");
    // The exe was swapped, and the last start's log is the new exe's: it took the shot and did
    // not replace itself again.
    EXPECT_TRUE(contains(log(), "launcher: saved restarted.png")) << log();
    EXPECT_FALSE(contains(log(), "launcher: replaced itself")) << log();

    // The old exe, renamed aside, goes at the latest with the next start after its process ended.
    Child next = startLauncher({"--shot", "0:next.png"});
    EXPECT_EQ(next.wait(60), 0) << output() << log();
    EXPECT_FALSE(fs::exists(launcherExe().string() + ".old"));
    EXPECT_EQ(readBytes(launcherExe()), readBytes(newer));
}

TEST_F(WineLauncher, FatalStartsEndWithCodeOneAndTheirText) {
    // No display: GLFW cannot start; with no display there is no box to wait for either.
    Child noDisplay = startLauncher({}, {}, false);
    EXPECT_EQ(noDisplay.wait(60), 1) << output();
    EXPECT_TRUE(contains(log(), std::string("error ") + kNoGlfw)) << log();

    // OpenGL below 4.5: the error box blocks on the display until its OK is pressed, here by
    // the watcher program the Windows suite uses to read the box.
    const fs::path boxReport = tmp.path() / "box.txt";
    Child watcher = run(windowsProgram("error_box_watcher_child.exe"), {boxReport.string()}, env(),
                        tmp.path() / "watcher.txt");
    Child oldGl = startLauncher({}, {{"MESA_GL_VERSION_OVERRIDE", "3.3"}});
    EXPECT_EQ(oldGl.wait(90), 1) << output() << readBytes(tmp.path() / "watcher.txt");
    EXPECT_TRUE(contains(log(), std::string("error ") + kNoOpenGl)) << log();
    EXPECT_EQ(watcher.wait(60), 0);
    EXPECT_TRUE(contains(readBytes(boxReport), "found 1")) << readBytes(boxReport);
}

// The headless driver, built for Windows, through install, update (with a file whose name
// changes only in letter case), verify, and installs killed at random moments.
TEST(WineDriver, InstallUpdateVerifyAndKilledInstallsAreMended) {
    if (windowsBuild().empty() || !std::getenv("WINEPREFIX"))
        SKIP_WITHOUT_SETUP("no Windows build");
    TempDir tmp("wine_driver_test-");
    ReleaseSite site(tmp.path());
    ASSERT_TRUE(site.ok());
    Nginx server(site.site(), tmp.path() / "nginx", "sesame");
    ASSERT_TRUE(server.start());
    const fs::path launcher = tmp.path() / "launcher";
    fs::create_directories(launcher);
    fs::copy_file(windowsProgram("updater_driver.exe"), launcher / "updater_driver.exe");
    auto drive = [&](const std::string& steps, const std::string& name) {
        const fs::path out = tmp.path() / (name + ".out");
        const int code =
            runProgram({kWine, (launcher / "updater_driver.exe").string(), "--server", server.url(),
                        "--key", site.publicHex(), "--no-self-update", "--steps", steps},
                       out);
        return std::make_pair(code, readBytes(out));
    };

    Files a;
    for (int i = 0; i < 40; ++i)
        a["data/part" + std::to_string(i) + ".bin"] = randomBytes(50000, i);
    a["data/Readme.txt"] = "read me\n";
    ASSERT_TRUE(site.publish(a, "A"));
    auto [installed, installText] = drive("check,update", "install");
    ASSERT_EQ(installed, 0) << installText;
    EXPECT_EQ(differences(readFiles(launcher / "game"), a), "") << installText;

    // Wine, like Windows, finds a name whatever its letter case: a path renamed only in case
    // names the file just placed, which must not go with the old path, and the name on disk is
    // the new spelling.
    Files b = a;
    b.erase("data/Readme.txt");
    b["data/README.txt"] = "read me\n";
    b["data/part3.bin"] = randomBytes(50000, 1003);
    ASSERT_TRUE(site.publish(b, "B"));
    auto [updated, updateText] = drive("check,update", "update");
    ASSERT_EQ(updated, 0) << updateText;
    EXPECT_EQ(differences(readFiles(launcher / "game"), b), "") << updateText;

    const fs::path part = launcher / "game" / "data" / "part7.bin";
    writeBytes(part, std::string(50000, 'x'));
    auto [verified, verifyText] = drive("check,verify", "verify");
    ASSERT_EQ(verified, 0) << verifyText;
    EXPECT_NE(verifyText.find("(1 files replaced)"), std::string::npos) << verifyText; // only part7
    EXPECT_EQ(differences(readFiles(launcher / "game"), b), "") << verifyText;

    // Installs from nothing, killed at points spread over their downloads; each next run mends
    // the game, and its verify finds nothing left to mend. A kill that came after the driver
    // ended tests nothing, so the kills that landed inside the work are counted.
    int landed = 0;
    const int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        fs::remove_all(launcher / "game");
        const fs::path out = tmp.path() / "killed.out";
        const pid_t pid = spawnProgram({kWine, (launcher / "updater_driver.exe").string(),
                                        "--server", server.url(), "--key", site.publicHex(),
                                        "--no-self-update", "--steps", "check,update"},
                                       out, /*append=*/false);
        ASSERT_GT(pid, 0);
        // The driver prints the snapshots it sees, so a fast download may not show: any
        // download at or past the round's counts.
        const int target = 1 + 9 * round;
        waitUntil([&] { return downloadsShown(readBytes(out)) >= target; }, 60.0);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!contains(readBytes(out), "driver: done")) ++landed;
        auto [mended, mendText] = drive("check,update,verify", "mend");
        ASSERT_EQ(mended, 0) << "round " << round << "\n" << mendText;
        const std::size_t verifying = mendText.find("driver: step verify");
        EXPECT_TRUE(verifying != std::string::npos &&
                    mendText.find("(0 files replaced)", verifying) != std::string::npos)
            << "round " << round << "\n"
            << mendText;
        EXPECT_EQ(differences(readFiles(launcher / "game"), b), "") << "round " << round << "\n"
                                                                    << mendText;
    }
    std::printf("%d kills, %d of them inside the install\n", rounds, landed);
    EXPECT_GE(landed, rounds - 1);
}

} // namespace
} // namespace qv::launcher
