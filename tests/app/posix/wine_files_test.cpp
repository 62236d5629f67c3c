// What real Windows does to the update client's files, played under wine with the Windows
// build of the headless driver against nginx on 127.0.0.1: files held for a moment by another
// program (as virus scanners and indexers hold every new or changed file), game files marked
// read-only, a game folder on another file system, folders past MAX_PATH with long paths on,
// and the reasons a Russian or Japanese system gives for a failure. The holder is a small
// Windows program that opens a file sharing reading only. Skipped without a Windows build and
// wine prefix ("scripts/test.sh windows" sets up both).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../../base/posix/socket_probe.h"
#include "../../support/setup_skip.h"
#include "../../update/posix/case_swaps.h"
#include "../../update/posix/exfat_disk.h"
#include "base/net.h"
#include "base/text.h"
#include "gui_fixture.h"

namespace qv::launcher {
namespace {

using namespace test;

const char* const kWine = "/usr/lib/wine/wine64";

fs::path windowsProgram(const char* name) {
    const char* folder = std::getenv("CORVANTHE_WINDOWS_BUILD");
    return folder ? fs::path(folder) / name : fs::path();
}

bool haveWindowsBuild() {
    return !windowsProgram("updater_driver.exe").empty() && std::getenv("WINEPREFIX") != nullptr;
}

// Compared without printing the bytes: a test failure shows the file's name only.
bool holds(const fs::path& file, const std::string& content) {
    return readBytes(file) == content;
}

std::string hashOf(const std::string& content) {
    return hashHex(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
}

// A release site, its server and a launcher folder with the Windows driver in it.
class WineWorld {
  public:
    WineWorld() : site_(tmp_.path()), nginx_(site_.site(), tmp_.path() / "nginx", "sesame") {
        fs::create_directories(launcher());
        fs::copy_file(windowsProgram("updater_driver.exe"), launcher() / "updater_driver.exe");
        ok_ = site_.ok() && nginx_.start();
    }
    bool ok() const { return ok_; }
    ReleaseSite& site() { return site_; }
    Nginx& nginx() { return nginx_; }
    fs::path folder() const { return tmp_.path(); }
    fs::path launcher() const { return tmp_.path() / "launcher"; }
    fs::path game() const { return launcher() / "game"; }
    fs::path staging() const { return launcher() / ".staging"; }

    fs::path driver() const { return launcher() / "updater_driver.exe"; }
    std::string log() const { return readBytes(launcher() / "logs" / "latest.log"); }

    // Runs the driver's steps to their end: its exit code (0: up to date) and its output. With
    // a program given (the driver's path in another form), a self-update may happen.
    // Extra arguments go to the driver after the others.
    std::pair<int, std::string> drive(const std::string& steps, const std::string& program = {},
                                      const std::vector<std::string>& extra = {}) {
        const fs::path out = tmp_.path() / ("drive-" + std::to_string(++runs_) + ".out");
        std::vector<std::string> argv = {kWine, program.empty() ? driver().string() : program};
        argv.insert(argv.end(),
                    {"--server", nginx_.url(), "--key", site_.publicHex(), "--steps", steps});
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (program.empty()) argv.push_back("--no-self-update");
        const int code = runProgram(argv, out);
        return {code, readBytes(out)};
    }

    // Holds the file from now until the trigger exists and extraMs more; returns once it holds.
    Child hold(const fs::path& file, const fs::path& trigger, int extraMs) {
        const fs::path report = tmp_.path() / "hold-report.txt";
        fs::remove(report);
        Child holder({kWine, windowsProgram("file_holder_child.exe").string(), file.string(),
                      report.string(), trigger.string(), std::to_string(extraMs)},
                     {}, tmp_.path(), tmp_.path() / "holder.out");
        EXPECT_TRUE(waitUntil([&] { return !readBytes(report).empty() || holder.ended(); }, 60.0));
        EXPECT_EQ(readBytes(report), "held") << readBytes(tmp_.path() / "holder.out");
        return holder;
    }

  private:
    TempDir tmp_{"wine_files_test-"};
    ReleaseSite site_;
    Nginx nginx_;
    bool ok_ = false;
    int runs_ = 0;
};

const std::string kOldEmber = randomBytes(40000, 1);
const std::string kNewEmber = randomBytes(40000, 2);

Files releaseWith(const std::string& ember) {
    return {{"data/ember.pak", ember}, {"data/common.pak", randomBytes(20000, 3)}};
}

// Release A installed, release B (a new "data/ember.pak") published.
void installThenPublish(WineWorld& world) {
    ASSERT_TRUE(world.site().publish(releaseWith(kOldEmber), "A"));
    auto [installed, text] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << text;
    ASSERT_TRUE(world.site().publish(releaseWith(kNewEmber), "B"));
    world.nginx().clearLog();
}

// A file the run meets, held by another program, and how the run reaches it.
struct HeldFile {
    const char* name;
    // Puts what is to be held in place and names it.
    std::function<fs::path(WineWorld&)> prepare;
    // True once the run is at the held file (from here a short hold lasts 1.5 s more).
    std::function<bool(WineWorld&)> reached;
    // What the status says when the hold outlasts the run's patience.
    const char* inUseText;
};

std::vector<HeldFile> heldFiles() {
    return {
        {"the game file being replaced",
         [](WineWorld& world) { return world.game() / "data" / "ember.pak"; },
         [](WineWorld& world) { return fs::exists(world.game() / ".installing"); },
         "cannot replace data/ember.pak: close Corvanthe and try again"},
        {"the .part left by an interrupted download",
         [](WineWorld& world) {
             const fs::path part = world.staging() / (hashOf(kNewEmber) + ".part");
             writeBytes(part, "cut short");
             return part;
         },
         [](WineWorld& world) {
             return !world.nginx().requestsFor("/objects/" + hashOf(kNewEmber)).empty();
         },
         "\\.staging (a file there is in use by another program)"},
        {"a staged object an earlier, failed update left",
         [](WineWorld& world) {
             const fs::path staged = world.staging() / hashOf(kNewEmber);
             writeBytes(staged, kNewEmber);
             return staged;
         },
         [](WineWorld& world) { return !world.nginx().requestsFor("/manifest-win64.txt").empty(); },
         "\\.staging (a file there is in use by another program)"},
    };
}

TEST(WineFiles, AFileHeldForAMomentIsWaitedFor) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    for (const HeldFile& held : heldFiles()) {
        SCOPED_TRACE(held.name);
        WineWorld world;
        ASSERT_TRUE(world.ok());
        installThenPublish(world);
        const fs::path trigger = world.folder() / "reached";
        Child holder = world.hold(held.prepare(world), trigger, 1500);
        const pid_t driver =
            spawnProgram({kWine, (world.launcher() / "updater_driver.exe").string(), "--server",
                          world.nginx().url(), "--key", world.site().publicHex(),
                          "--no-self-update", "--steps", "check,update"},
                         world.folder() / "held.out");
        ASSERT_GT(driver, 0);
        ASSERT_TRUE(waitUntil([&] { return held.reached(world); }, 120.0));
        writeBytes(trigger, "");
        int status = 0;
        waitpid(driver, &status, 0);
        const std::string output = readBytes(world.folder() / "held.out");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        EXPECT_TRUE(contains(output, "| Up to date |")) << output;
        EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kNewEmber))
            << world.game() / "data" / "ember.pak";
        EXPECT_EQ(holder.wait(60), 0);
    }
}

TEST(WineFiles, AFileHeldLongerFailsTheRunAsInUseAndTheNextRunSucceeds) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    for (const HeldFile& held : heldFiles()) {
        SCOPED_TRACE(held.name);
        WineWorld world;
        ASSERT_TRUE(world.ok());
        installThenPublish(world);
        const fs::path heldFile = held.prepare(world);
        const std::string heldContent = readBytes(heldFile);
        // Held until the run has ended, far beyond what the run waits for.
        const fs::path letGo = world.folder() / "let-go";
        Child holder = world.hold(heldFile, letGo, 0);
        auto [failed, failure] = world.drive("check,update");
        EXPECT_EQ(failed, 1) << failure;
        EXPECT_TRUE(contains(failure, held.inUseText)) << failure;
        EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kOldEmber))
            << world.game() / "data" / "ember.pak";
        EXPECT_TRUE(holds(heldFile, heldContent)) << heldFile;

        writeBytes(letGo, "");
        EXPECT_EQ(holder.wait(60), 0);
        auto [mended, text] = world.drive("check,update");
        EXPECT_EQ(mended, 0) << text;
        EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kNewEmber))
            << world.game() / "data" / "ember.pak";
    }
}

// The seconds since start of each log line that holds the text.
std::vector<double> logTimes(const std::string& log, const std::string& text) {
    std::vector<double> times;
    std::size_t line = 0;
    while (line < log.size()) {
        const std::size_t end = std::min(log.find('\n', line), log.size());
        const std::string one = log.substr(line, end - line);
        const std::size_t at = one.find("] [");
        if (at != std::string::npos && contains(one, text))
            times.push_back(std::strtod(one.c_str() + at + 3, nullptr));
        line = end + 1;
    }
    return times;
}

TEST(WineFiles, DroppedFilesOtherProgramsHoldStayWithAWarningAfterOneWaitForAll) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    Files a = releaseWith(kOldEmber);
    const int heldCount = 4;
    for (int i = 0; i < heldCount; ++i)
        a["data/held" + std::to_string(i) + ".txt"] = "only in A " + std::to_string(i);
    a["data/free.txt"] = "only in A, held by nobody";
    ASSERT_TRUE(world.site().publish(a, "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    ASSERT_TRUE(world.site().publish(releaseWith(kNewEmber), "B"));

    const fs::path letGo = world.folder() / "let-go";
    std::vector<Child> holders;
    for (int i = 0; i < heldCount; ++i)
        holders.push_back(
            world.hold(world.game() / "data" / ("held" + std::to_string(i) + ".txt"), letGo, 0));
    auto [updated, text] = world.drive("check,update");
    const std::string log = world.log();
    writeBytes(letGo, "");
    for (Child& holder : holders)
        EXPECT_EQ(holder.wait(60), 0);

    // The release is in place; what others hold stays and says so, and only what went is
    // reported removed.
    EXPECT_EQ(updated, 0) << text;
    EXPECT_TRUE(contains(text, "| Up to date |")) << text;
    EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kNewEmber));
    for (int i = 0; i < heldCount; ++i) {
        const std::string path = "data/held" + std::to_string(i) + ".txt";
        EXPECT_TRUE(fs::exists(world.game() / path)) << path;
        EXPECT_TRUE(
            contains(log, "warn  launcher: cannot remove " + path + " (in use by another program)"))
            << log;
        EXPECT_FALSE(contains(log, "launcher: removed " + path)) << log;
    }
    EXPECT_FALSE(fs::exists(world.game() / "data" / "free.txt"));
    EXPECT_TRUE(contains(log, "launcher: removed data/free.txt")) << log;
    // One wait serves them all: alone each would wait its 3 s.
    const std::vector<double> refused = logTimes(log, "launcher: cannot remove ");
    ASSERT_EQ(refused.size(), static_cast<std::size_t>(heldCount)) << log;
    std::printf("%d held dropped files: first refusal at %.3f s, last at %.3f s\n", heldCount,
                refused.front(), refused.back());
    EXPECT_LT(refused.back() - refused.front(), 2.0) << log;
}

// Releases whose launcher the system will not run, with the right hash and signature: no
// program at all, which the start refuses, and one that starts but whose loader cannot finish,
// as it imports from a DLL that is not published with it. The restart watches far longer than
// such a launcher takes to end, since the wait ends as soon as the new launcher does.
TEST(WineFiles, ALauncherTheSystemWillNotStartIsTakenOutAndTheRunningOneStays) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    struct Case {
        std::string bytes;
        const char* failure;
    } cases[] = {
        {"corvanthe launcher, but only text\r\n", "could not start updater_driver.exe (error 193)"},
        {readBytes(windowsProgram("unloadable_launcher.exe")),
         "the new launcher ended as it started (status 0xC0000135)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        WineWorld world;
        ASSERT_TRUE(world.ok());
        const std::string running = readBytes(world.driver());
        const fs::path refused = world.folder() / "refused.exe";
        writeBytes(refused, c.bytes);
        ASSERT_TRUE(
            world.site().publish(releaseWith(kOldEmber), "A", {"--launcher", refused.string()}));

        auto [code, text] =
            world.drive("check,update", world.driver().string(), {"--restart-watch", "120000"});
        EXPECT_EQ(code, 0) << text;
        EXPECT_TRUE(contains(text, std::string("launcher: self-update failed: ") + c.failure))
            << text;
        EXPECT_FALSE(contains(text, "Restarting | ")) << text;
        EXPECT_TRUE(contains(text, "driver: done UpToDate | Up to date")) << text;
        EXPECT_EQ(hashOf(readBytes(world.driver())), hashOf(running));
        EXPECT_FALSE(fs::exists(world.driver().string() + ".old"));
        EXPECT_FALSE(fs::exists(world.driver().string() + ".new"));
        EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kOldEmber));

        // It starts again, and without a self-update finds the game in place.
        auto [next, nextText] = world.drive("check");
        EXPECT_EQ(next, 0) << nextText;
        EXPECT_TRUE(contains(nextText, "driver: done UpToDate | Up to date")) << nextText;
    }
}

// The 8.3 name of each entry of a Windows folder that has one, by its long name, as "dir /x"
// lists them.
std::map<std::string, std::string> shortNames(const std::string& windowsFolder,
                                              const fs::path& scratch) {
    std::map<std::string, std::string> names;
    std::istringstream lines(
        runCaptured({kWine, "cmd", "/c", "dir", "/x", windowsFolder}, {}, scratch));
    for (std::string line; std::getline(lines, line);) {
        // Its last two words: the 8.3 name, then the long one (names here have no blanks).
        std::istringstream split(trimmed(line));
        std::vector<std::string> words;
        for (std::string word; split >> word;)
            words.push_back(word);
        if (words.size() >= 2 && contains(words[words.size() - 2], "~"))
            names[words.back()] = words[words.size() - 2];
    }
    return names;
}

TEST(WineFiles, ASelfUpdateStartedThroughAShortPathKeepsTheLongName) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    // On the system's drive, where 8.3 names are kept (wine keeps none for the host's folders).
    TempDir drive("wine_files_test-", fs::path(std::getenv("WINEPREFIX")) / "drive_c");
    const fs::path launcher = drive.path() / "launcher-folder";
    fs::create_directories(launcher);
    const fs::path exe = launcher / "updater_driver.exe";
    fs::copy_file(world.driver(), exe);
    const fs::path newer = world.folder() / "newer.exe";
    writeBytes(newer, readBytes(exe) + "\nnewer build\n");
    ASSERT_TRUE(world.site().publish(releaseWith(kOldEmber), "A", {"--launcher", newer.string()}));
    const std::string top = "C:\\" + drive.path().filename().string();
    const std::string folderShort = shortNames(top, world.folder())["launcher-folder"];
    const std::string exeShort =
        shortNames(top + "\\launcher-folder", world.folder())["updater_driver.exe"];
    ASSERT_FALSE(folderShort.empty() || exeShort.empty());
    const std::string shortPath = top + "\\" + folderShort + "\\" + exeShort;

    const fs::path out = world.folder() / "short.out";
    EXPECT_EQ(runProgram({kWine, shortPath, "--server", world.nginx().url(), "--key",
                          world.site().publicHex(), "--steps", "check,update"},
                         out),
              0)
        << readBytes(out);
    EXPECT_TRUE(contains(readBytes(out), "driver: handed over to the new launcher"))
        << readBytes(out);
    // The new launcher runs under the long name and goes on with the game.
    const std::string log = (launcher / "logs" / "latest.log").string();
    EXPECT_TRUE(waitUntil([&] { return contains(readBytes(log), "launcher: installed A"); }, 120.0))
        << readBytes(log);
    EXPECT_TRUE(holds(exe, readBytes(newer))) << exe;
    EXPECT_TRUE(holds(launcher / "game" / "data" / "ember.pak", kOldEmber));
    for (const auto& item : fs::directory_iterator(launcher))
        EXPECT_FALSE(contains(item.path().filename().string(), "~")) << item.path();
    // Its folder goes once it has ended (where its output reaches ours, it says so).
    waitUntil([&] { return contains(readBytes(out), "driver: done"); }, 20.0);
}

TEST(WineFiles, ReadOnlyGameFilesAreReplacedAndRemoved) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    Files a = releaseWith(kOldEmber);
    a["data/dropped.txt"] = "only in A";
    ASSERT_TRUE(world.site().publish(a, "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    // Wine shows a file without write permission as FILE_ATTRIBUTE_READONLY.
    for (const char* name : {"ember.pak", "dropped.txt"})
        fs::permissions(world.game() / "data" / name,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(world.site().publish(releaseWith(kNewEmber), "B"));
    auto [updated, text] = world.drive("check,update");
    EXPECT_EQ(updated, 0) << text;
    EXPECT_TRUE(holds(world.game() / "data" / "ember.pak", kNewEmber))
        << world.game() / "data" / "ember.pak";
    EXPECT_FALSE(fs::exists(world.game() / "data" / "dropped.txt"));
}

TEST(WineFiles, AGameFolderOnAnotherFileSystemIsFilledByCopies) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    // The game folder linked to a tmpfs, where no rename from the launcher folder arrives.
    TempDir otherDisk("wine_files_test-", "/dev/shm");
    fs::create_directory_symlink(otherDisk.path(), world.game());
    ASSERT_TRUE(world.site().publish(releaseWith(kOldEmber), "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    EXPECT_TRUE(holds(otherDisk.path() / "data" / "ember.pak", kOldEmber))
        << otherDisk.path() / "data" / "ember.pak";
    ASSERT_TRUE(world.site().publish(releaseWith(kNewEmber), "B"));
    auto [updated, text] = world.drive("check,update");
    EXPECT_EQ(updated, 0) << text;
    EXPECT_TRUE(holds(otherDisk.path() / "data" / "ember.pak", kNewEmber))
        << otherDisk.path() / "data" / "ember.pak";
    EXPECT_FALSE(fs::exists(otherDisk.path() / "data" / "ember.pak.part"));
    EXPECT_FALSE(fs::exists(world.staging()));
}

TEST(WineFiles, APlayersFolderLinkWhereAFileGoesIsNeverWalkedInto) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    ASSERT_TRUE(world.site().publish(releaseWith(kOldEmber), "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    // The player's own folder, linked where the next release puts a file; wine shows the link as
    // a reparse point, as Windows shows a junction.
    const fs::path own = world.folder() / "players-folder";
    fs::create_directories(own / "empty");
    writeBytes(own / "notes.txt", "the player's");
    fs::create_directory_symlink(own, world.game() / "data" / "sub");
    Files b = releaseWith(kNewEmber);
    b["data/sub"] = "now a file";
    ASSERT_TRUE(world.site().publish(b, "B"));
    // The link stays, and so does everything in the player's folder; the file cannot go there.
    auto [updated, text] = world.drive("check,update");
    EXPECT_EQ(updated, 1) << text;
    EXPECT_TRUE(contains(text, "| cannot put data/sub in place (")) << text;
    EXPECT_TRUE(fs::is_symlink(world.game() / "data" / "sub"));
    EXPECT_TRUE(fs::is_directory(own / "empty")) << text;
    EXPECT_EQ(readBytes(own / "notes.txt"), "the player's") << text;
}

TEST(WineFiles, AFileAndAFolderSwapInOtherLetterCase) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    // Wine's file calls find "a" at "A", as Windows' do; with the game folder on an exFAT disk
    // the disk's own table also finds "σ" at "ς", which Windows' table keeps apart.
    const auto swapAll = [](const fs::path& exfat) {
        int at = 0;
        for (const CaseSwap& swap : caseSwaps()) {
            SCOPED_TRACE(swap.name);
            WineWorld world;
            ASSERT_TRUE(world.ok());
            fs::path game = world.game();
            if (!exfat.empty()) {
                game = exfat / ("game-" + std::to_string(++at));
                fs::create_directories(game);
                fs::create_directory_symlink(game, world.game());
            }
            ASSERT_TRUE(world.site().publish(swap.before, "A"));
            auto [installed, installText] = world.drive("check,update");
            ASSERT_EQ(installed, 0) << installText;
            writeBytes(game / kPlayersFile, kPlayersContent);
            ASSERT_TRUE(world.site().publish(swap.after, "B"));
            auto [updated, text] = world.drive("check,update,verify");
            EXPECT_EQ(updated, 0) << text;
            EXPECT_TRUE(contains(text, "(0 files replaced)")) << text;
            EXPECT_EQ(foldedNames(readFiles(game)), foldedAfter(swap)) << text;
        }
    };
    {
        SCOPED_TRACE("the game folder here");
        swapAll({});
    }
    TempDir tmp("wine_files_test-");
    ExfatDisk disk(tmp.path());
    if (!disk.problem().empty()) SKIP_WITHOUT_SETUP(disk.problem());
    SCOPED_TRACE("the game folder on an exFAT disk");
    swapAll(disk.root());
}

// The rest of the line from at on, without its line end (CR LF where wine wrote it).
std::string restOfLine(const std::string& text, std::size_t at) {
    return text.substr(at, text.find_first_of("\r\n", at) - at);
}

// The text after the last "driver: done <phase> | " of the driver's output.
std::string finalStatus(const std::string& output) {
    const std::size_t done = output.rfind("driver: done ");
    const std::size_t bar = done == std::string::npos ? done : output.find(" | ", done);
    return bar == std::string::npos ? std::string() : restOfLine(output, bar + 3);
}

TEST(WineTexts, StatusTextsOnALocalizedSystemAreDrawnByTheFontAndTheLogKeepsTheSystemsWords) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    SOCKET probe = tcpListen(0, 1);
    ASSERT_NE(probe, INVALID_SOCKET);
    const std::uint16_t closedPort = localPort(probe);
    closeSocket(probe);
    for (const char* locale : {"ru_RU.UTF-8", "ja_JP.UTF-8"}) {
        SCOPED_TRACE(locale);
        TempDir tmp("wine_files_test-");
        const fs::path launcher = tmp.path() / "launcher";
        fs::create_directories(launcher);
        fs::copy_file(windowsProgram("updater_driver.exe"), launcher / "updater_driver.exe");
        const std::string lang = std::string("LANG=") + locale;
        const std::string all = std::string("LC_ALL=") + locale;
        runProgram({"/usr/bin/env", lang, all, kWine, (launcher / "updater_driver.exe").string(),
                    "--server", "http://127.0.0.1:" + std::to_string(closedPort) + "/", "--key",
                    std::string(64, '0'), "--no-self-update", "--steps", "check"},
                   tmp.path() / "driver.out");
        const std::string output = readBytes(tmp.path() / "driver.out");
        const std::string status = finalStatus(output);
        EXPECT_EQ(status, "cannot reach the update server (Connection refused)") << output;
        EXPECT_TRUE(fontDrawsAll(status)) << output;
        // The log keeps the system's own words, which are not in the font's script.
        const std::string log = readBytes(launcher / "logs" / "latest.log");
        const std::string said = "in the system's words: ";
        const std::size_t at = log.find(said);
        ASSERT_NE(at, std::string::npos) << log;
        const std::string words = restOfLine(log, at + said.size());
        EXPECT_FALSE(words.empty()) << log;
        EXPECT_FALSE(fontDrawsAll(words)) << log;

        // A file or start error beyond the fixed words ("bad EXE format") as the Windows test
        // of the reasons sees it on this system: words the font draws, not the number.
        const fs::path reasons = tmp.path() / "reasons.out";
        const int failed = runProgram({"/usr/bin/env", lang, all, kWine,
                                       windowsProgram("fs_win32_test.exe").string(),
                                       "--gtest_filter=FsErrorText.*"},
                                      reasons);
        const std::string reasonsText = readBytes(reasons);
        EXPECT_EQ(failed, 0) << reasonsText;
        EXPECT_TRUE(contains(reasonsText, "[  PASSED  ] 1 test")) << reasonsText;
        const std::string badExe = "error 193 in the system's words: ";
        const std::size_t own = reasonsText.find(badExe);
        ASSERT_NE(own, std::string::npos) << reasonsText;
        EXPECT_FALSE(fontDrawsAll(restOfLine(reasonsText, own + badExe.size()))) << reasonsText;
    }
}

// The system's long-path setting in the wine prefix, on for as long as it lives.
class LongPathsOn {
  public:
    LongPathsOn() {
        const fs::path out = tmp_.path() / "reg.out";
        wasSet_ = runProgram({kWine, "reg", "query", kKey, "/v", "LongPathsEnabled"}, out) == 0;
        old_ = readBytes(out);
        ok_ = runProgram({kWine, "reg", "add", kKey, "/v", "LongPathsEnabled", "/t", "REG_DWORD",
                          "/d", "1", "/f"},
                         out) == 0;
    }
    ~LongPathsOn() {
        const fs::path out = tmp_.path() / "reg.out";
        const bool wasOn = old_.find("0x1") != std::string::npos;
        if (wasSet_ && wasOn) return;
        if (wasSet_) {
            runProgram({kWine, "reg", "add", kKey, "/v", "LongPathsEnabled", "/t", "REG_DWORD",
                        "/d", "0", "/f"},
                       out);
        } else {
            runProgram({kWine, "reg", "delete", kKey, "/v", "LongPathsEnabled", "/f"}, out);
        }
    }
    bool ok() const { return ok_; }

  private:
    static constexpr const char* kKey = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\FileSystem";
    TempDir tmp_{"wine_files_test-reg-"};
    bool wasSet_ = false;
    bool ok_ = false;
    std::string old_;
};

TEST(WineFiles, AFolderPastMaxPathHoldingOnlyADroppedFileBecomesAFile) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    LongPathsOn longPaths;
    ASSERT_TRUE(longPaths.ok());
    WineWorld world;
    ASSERT_TRUE(world.ok());
    // The launcher sees the game folder as "Z:" and its path here with '\\' between the names.
    const std::size_t gameUnits = 2 + world.game().string().size();
    ASSERT_LT(gameUnits, 150u);
    const std::string outer(100, 'o');
    const std::string folder = outer + "/" + std::string(287 - gameUnits - outer.size() - 2, 'f');
    ASSERT_EQ(gameUnits + 1 + folder.size(), 287u);
    Files a = releaseWith(kOldEmber);
    a[folder + "/dropped.pak"] = "only in A";
    ASSERT_TRUE(world.site().publish(a, "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    ASSERT_TRUE(holds(world.game() / folder / "dropped.pak", "only in A"));

    Files b = releaseWith(kOldEmber);
    b[folder] = "now a file";
    ASSERT_TRUE(world.site().publish(b, "B"));
    auto [updated, text] = world.drive("check,update");
    EXPECT_EQ(updated, 0) << text;
    EXPECT_TRUE(contains(text, "| Up to date |")) << text;
    EXPECT_TRUE(holds(world.game() / folder, "now a file")) << text;
}

// Marks a folder immutable while it lives: nothing in it may be added, removed or renamed, by
// root too, as in a folder the player may not write.
class Immutable {
  public:
    explicit Immutable(fs::path folder) : folder_(std::move(folder)) {
        set_ =
            runProgram({onPath("chattr"), "+i", folder_.string()}, folder_.string() + ".out") == 0;
    }
    ~Immutable() {
        if (set_) runProgram({onPath("chattr"), "-i", folder_.string()}, folder_.string() + ".out");
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    bool set() const { return set_; }

  private:
    fs::path folder_;
    bool set_ = false;
};

TEST(WineFiles, AFolderThePlayerMayNotWriteShowsTheGameAndChangesNothing) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    Files a = releaseWith(kOldEmber);
    a["corvanthe.exe"] = "the game";
    ASSERT_TRUE(world.site().publish(a, "A"));
    auto [installed, installText] = world.drive("check,update");
    ASSERT_EQ(installed, 0) << installText;
    a["data/ember.pak"] = kNewEmber;
    ASSERT_TRUE(world.site().publish(a, "B"));
    world.nginx().clearLog();
    const Files before = readFiles(world.game());
    const Immutable locked(world.launcher());
    if (!locked.set()) SKIP_WITHOUT_SETUP("chattr +i is refused here (needs root and ext4)");

    const auto started = std::chrono::steady_clock::now();
    auto [checked, checkText] = world.drive("check");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("the check in a folder that may not be written took %.3f s\n", seconds);
    EXPECT_EQ(checked, 1) << checkText;
    EXPECT_TRUE(contains(checkText, "| installed A | latest B |")) << checkText;
    EXPECT_TRUE(contains(checkText, "| game present |")) << checkText;
    EXPECT_LT(seconds, 2.0);

    auto [updated, text] = world.drive("check,update");
    EXPECT_EQ(updated, 1) << text;
    EXPECT_TRUE(contains(text, "driver: done Failed | cannot write to ")) << text;
    EXPECT_TRUE(contains(text, "launcher (access denied)")) << text;
    EXPECT_TRUE(world.nginx().requestsFor("/objects/").empty()) << text;
    EXPECT_EQ(readFiles(world.game()), before);
    EXPECT_FALSE(fs::exists(world.staging()));
}

// The seconds a run of the driver's steps takes, with its exit code and output.
struct TimedDrive {
    int code;
    std::string text;
    double seconds;
};

TimedDrive timedDrive(WineWorld& world, const std::string& steps) {
    const auto started = std::chrono::steady_clock::now();
    auto [code, text] = world.drive(steps);
    return {code, text,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

// The files under logs/ other than latest.log that hold the text.
std::vector<fs::path> otherLogsWith(const fs::path& logs, const std::string& text) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(logs))
        if (entry.path().filename() != "latest.log" && contains(readBytes(entry.path()), text))
            found.push_back(entry.path());
    return found;
}

// An administrator's run left logs/latest.log in a launcher folder the player may not change:
// the log's rotation is refused for the player's rights, not by another program, and is not
// waited out (the wait for a holder is about 3 s); the run goes on with the console only.
TEST(WineFiles, ALogFolderThePlayerMayNotWriteIsNotWaitedFor) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    ASSERT_NO_FATAL_FAILURE(installThenPublish(world));
    const fs::path logs = world.launcher() / "logs";
    ASSERT_TRUE(fs::exists(logs / "latest.log"));

    const TimedDrive writable = timedDrive(world, "check");
    ASSERT_EQ(writable.code, 1) << writable.text;
    const std::string previous = readBytes(logs / "latest.log");
    const Immutable lockedLatest(logs / "latest.log");
    const Immutable lockedLogs(logs);
    const Immutable locked(world.launcher());
    if (!lockedLatest.set() || !lockedLogs.set() || !locked.set())
        SKIP_WITHOUT_SETUP("chattr +i is refused here (needs root and ext4)");
    std::set<std::string> before;
    for (const auto& entry : fs::directory_iterator(logs))
        before.insert(entry.path().filename().string());

    const TimedDrive readOnly = timedDrive(world, "check");
    std::printf("the check took %.3f s with a writable log folder, %.3f s with one that may not "
                "be written\n",
                writable.seconds, readOnly.seconds);
    EXPECT_EQ(readOnly.code, 1) << readOnly.text;
    EXPECT_TRUE(contains(readOnly.text, "launcher: latest B, installed A")) << readOnly.text;
    // Well under the wait for a holder, however slow this machine is today.
    EXPECT_LT(readOnly.seconds, writable.seconds + 2.0);
    EXPECT_EQ(readBytes(logs / "latest.log"), previous);
    std::set<std::string> after;
    for (const auto& entry : fs::directory_iterator(logs))
        after.insert(entry.path().filename().string());
    EXPECT_EQ(after, before);
}

// A viewer that shares reading only refuses both the rotation and the appending to latest.log:
// this run's lines go to a dated file beside it, and the previous log stays as it was.
TEST(WineFiles, ALogAViewerHoldsSharingReadingOnlyGetsThisRunsLinesBesideIt) {
    if (!haveWindowsBuild())
        SKIP_WITHOUT_SETUP("no Windows build (CORVANTHE_WINDOWS_BUILD, WINEPREFIX)");
    WineWorld world;
    ASSERT_TRUE(world.ok());
    ASSERT_NO_FATAL_FAILURE(installThenPublish(world));
    const fs::path logs = world.launcher() / "logs";
    const std::string previous = readBytes(logs / "latest.log");
    ASSERT_FALSE(contains(previous, "launcher: latest B, installed A"));

    const fs::path trigger = world.folder() / "let-go";
    Child viewer = world.hold(logs / "latest.log", trigger, 0);
    auto [checked, text] = world.drive("check");
    writeBytes(trigger, "");
    EXPECT_TRUE(waitUntil([&] { return viewer.ended(); }, 60.0));
    EXPECT_EQ(checked, 1) << text;
    EXPECT_TRUE(contains(text, "launcher: latest B, installed A")) << text;
    EXPECT_EQ(otherLogsWith(logs, "launcher: latest B, installed A").size(), 1u) << text;
    EXPECT_EQ(readBytes(logs / "latest.log"), previous);
}

} // namespace
} // namespace qv::launcher
