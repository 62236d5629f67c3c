// What real Windows does to the update client's files, played under wine with the Windows
// build of the headless driver against nginx on 127.0.0.1: files held for a moment by another
// program (as virus scanners and indexers hold every new or changed file), game files marked
// read-only, and a game folder on another file system. The holder is a small Windows program
// that opens a file sharing reading only. Skipped without a Windows build and wine prefix
// ("scripts/test.sh windows" sets up both).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "../../support/setup_skip.h"
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

    // Runs the driver's steps to their end: its exit code (0: up to date) and its output.
    std::pair<int, std::string> drive(const std::string& steps) {
        const fs::path out = tmp_.path() / ("drive-" + std::to_string(++runs_) + ".out");
        const int code = runProgram({kWine, (launcher() / "updater_driver.exe").string(),
                                     "--server", nginx_.url(), "--key", site_.publicHex(),
                                     "--no-self-update", "--steps", steps},
                                    out);
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

} // namespace
} // namespace qv::launcher
