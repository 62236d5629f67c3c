// The launcher folder as players meet it, played with the headless driver against nginx on
// 127.0.0.1: a folder installed by an administrator that the player may read but not change
// (the driver run as the user nobody), runs that may only read for other causes (a lock file the
// player may not open, an unfinished install), and two launchers started at the same moment on a
// folder whose lock name holds an odd folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../support/setup_skip.h"
#include "nginx.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::Files;
using test::randomBytes;
using test::readBytes;
namespace fs = std::filesystem;

// Large enough that an update holds the lock for a while, so that two launchers started
// together always meet.
const Files kA = {{"corvanthe.exe", randomBytes(9000, 1)},
                  {"data/a.bin", randomBytes(6 << 20, 2)},
                  {"data/b.bin", randomBytes(4 << 20, 3)}};
// The same paths and sizes with other bytes: only the content tells the releases apart.
const Files kB = {{"corvanthe.exe", randomBytes(9000, 11)},
                  {"data/a.bin", randomBytes(6 << 20, 12)},
                  {"data/b.bin", randomBytes(4 << 20, 13)}};

// Every file below the folder with its bytes, the launcher's own records and caches included.
Files everyFile(const fs::path& folder) {
    Files out;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file())
            out[item.path().lexically_relative(folder).string()] = readBytes(item.path());
    }
    return out;
}

// The names of the files that one of the two lists has and the other has not, or that differ
// in content: a failure names them without printing megabytes of bytes.
std::vector<std::string> changedFiles(const Files& before, const Files& after) {
    std::vector<std::string> changed;
    for (const auto& [name, bytes] : before) {
        const auto now = after.find(name);
        if (now == after.end() || now->second != bytes) changed.push_back(name);
    }
    for (const auto& [name, bytes] : after) {
        if (before.count(name) == 0) changed.push_back(name);
    }
    return changed;
}

class LauncherFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        fs::create_directories(tmp.path() / "root");
        for (const auto& [name, files] : {std::pair{"A", &kA}, std::pair{"B", &kB}}) {
            ASSERT_TRUE(site->publish(*files, name));
            fs::copy(site->site(), tmp.path() / "root" / name, fs::copy_options::recursive);
        }
        server = std::make_unique<test::Nginx>(tmp.path() / "root", tmp.path() / "nginx", "k");
        ASSERT_TRUE(server->start());
    }

    // A launcher folder with the driver in it.
    fs::path launcherFolder(const std::string& name) const {
        const fs::path folder = tmp.path() / name;
        fs::create_directories(folder);
        test::placeDriver(folder);
        return folder;
    }

    std::vector<std::string> driver(const fs::path& launcher, const char* release,
                                    const char* steps) const {
        return test::driverCommand(launcher, server->url() + release + "/", site->publicHex(),
                                   steps);
    }

    // Lets every user read and enter the test's folders, so that a program started with
    // playerCommand, as the user nobody, meets only the launcher folder's own permissions. What is
    // missing for that here, or empty.
    std::string openToPlayers() {
        setpriv = test::onPath("setpriv");
        if (!fs::exists(setpriv)) return "no setpriv (util-linux)";
        fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        return "";
    }

    // The driver's command as the player runs it: as the user nobody, in no group of root's.
    std::vector<std::string> playerCommand(const std::vector<std::string>& command) const {
        std::vector<std::string> argv = {setpriv, "--reuid=nobody", "--regid=nogroup",
                                         "--clear-groups"};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
    std::string setpriv;
};

TEST_F(LauncherFolder, APlayerWhoMayNotWriteTheFolderStillPlaysAndChangesNothing) {
    if (geteuid() != 0)
        SKIP_WITHOUT_SETUP("needs root, to install as one user and play as another (nobody)");
    // Installed by root; the player, nobody, may read and enter every folder but change none.
    if (const std::string missing = openToPlayers(); !missing.empty()) SKIP_WITHOUT_SETUP(missing);
    const fs::path launcher = launcherFolder("installed");
    const fs::path out = tmp.path() / "install.out";
    ASSERT_EQ(test::runProgram(driver(launcher, "A", "check,update"), out), 0) << readBytes(out);
    const Files before = everyFile(launcher);

    const auto asPlayer = [&](const char* release, const char* steps, const char* name) {
        const fs::path output = tmp.path() / name;
        const int code = test::runProgram(playerCommand(driver(launcher, release, steps)), output);
        return std::pair{code, readBytes(output)};
    };
    const std::string cause = "cannot write to " + launcher.string() + " (Permission denied)";

    // The same release: a check shows the game, and a verify that finds every file whole has
    // nothing to change.
    const auto started = std::chrono::steady_clock::now();
    auto [same, sameText] = asPlayer("A", "check,verify", "same.out");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("a check and a verify as nobody took %.3f s\n", seconds);
    EXPECT_EQ(same, 0) << sameText;
    EXPECT_NE(sameText.find("snapshot: UpToDate | Up to date | progress -1.000 | Live NoKey | "
                            "installed A | latest A | download 0 | game present"),
              std::string::npos)
        << sameText;
    EXPECT_NE(sameText.find("driver: done UpToDate | Files verified"), std::string::npos)
        << sameText;

    // A newer release: the check offers it, the update ends at once naming the folder and why.
    auto [newer, newerText] = asPlayer("B", "check,update", "newer.out");
    EXPECT_EQ(newer, 1) << newerText;
    EXPECT_NE(newerText.find("| installed A | latest B |"), std::string::npos) << newerText;
    const std::size_t failed = newerText.find("snapshot: Failed | " + cause + " |");
    ASSERT_NE(failed, std::string::npos) << newerText;
    const std::string last = newerText.substr(failed, newerText.find('\n', failed) - failed);
    EXPECT_NE(last.find("| installed A | latest B |"), std::string::npos) << last;
    EXPECT_NE(last.find("| game present |"), std::string::npos) << last;
    EXPECT_TRUE(server->requestsFor("/B/objects/").empty());
    EXPECT_EQ(everyFile(launcher), before);

    // A release that names a new launcher: a run that may not replace it does not fetch it.
    fs::copy_file(test::buildTool("publish_release"), tmp.path() / "new-launcher");
    ASSERT_TRUE(site->publish(kA, "A", {"--launcher", (tmp.path() / "new-launcher").string()}));
    fs::copy(site->site(), tmp.path() / "root" / "C", fs::copy_options::recursive);
    std::vector<std::string> selfUpdating;
    for (const std::string& arg : driver(launcher, "C", "check"))
        if (arg != "--no-self-update") selfUpdating.push_back(arg);
    selfUpdating = playerCommand(selfUpdating);
    const fs::path selfOut = tmp.path() / "self.out";
    EXPECT_EQ(test::runProgram(selfUpdating, selfOut), 0) << readBytes(selfOut);
    EXPECT_NE(readBytes(selfOut).find("launcher: self-update failed: " + cause), std::string::npos)
        << readBytes(selfOut);
    EXPECT_TRUE(server->requestsFor("/C/objects/").empty());
    EXPECT_EQ(everyFile(launcher), before);
}

// The player's own launcher folder, with a ".lock" that an administrator's run left readable
// only: a lock needs no writing, so the file is opened for reading, locked, and the update goes.
TEST_F(LauncherFolder, ALockFileThePlayerMayOnlyReadInTheirOwnFolderStillLocks) {
    if (geteuid() != 0)
        SKIP_WITHOUT_SETUP("needs root, to leave a lock file that another user may only read");
    if (const std::string missing = openToPlayers(); !missing.empty()) SKIP_WITHOUT_SETUP(missing);
    const fs::path launcher = launcherFolder("own");
    test::writeBytes(launcher / kRunLock, "");
    fs::permissions(launcher / kRunLock, fs::perms::owner_read | fs::perms::owner_write |
                                             fs::perms::group_read | fs::perms::others_read);
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(launcher.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    const fs::path out = tmp.path() / "own.out";
    EXPECT_EQ(test::runProgram(playerCommand(driver(launcher, "A", "check,update")), out), 0)
        << readBytes(out);
    EXPECT_NE(readBytes(out).find("| installed A | latest A | download 0 | game present"),
              std::string::npos)
        << readBytes(out);
    EXPECT_EQ(readBytes(launcher / "game" / "data" / "a.bin"), kA.at("data/a.bin"));
}

// Runs that may only read, whatever keeps them from writing, each against the release that is
// installed: what they report, and that no file of the launcher folder changes, the news cache
// included (it is taken away first, so a run that keeps the news it fetched shows).
TEST_F(LauncherFolder, ARunThatMayOnlyReadReportsWhatItFindsAndWritesNothing) {
    if (geteuid() != 0)
        SKIP_WITHOUT_SETUP("needs root, to install as one user and play as another (nobody)");
    if (const std::string missing = openToPlayers(); !missing.empty()) SKIP_WITHOUT_SETUP(missing);
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    // A record of an install of A that was placing other files when it stopped.
    ASSERT_TRUE(site->publish(kB, "A"));
    const std::string otherA = site->manifestText();

    struct Row {
        const char* name;
        // Makes the installed folder one this run may only read; returns the cause where the
        // run ends with it, to follow end.
        std::function<std::string(const fs::path&)> prepare;
        const char* steps;
        const char* end; // the driver's last line, up to the cause
    };
    const Row rows[] = {
        {"an unfinished install of the installed version, checked",
         [&](const fs::path& launcher) {
             test::writeBytes(launcher / "game" / kInstallingRecord, otherA);
             return "";
         },
         "check", "driver: done UpdateAvailable | Ready to update"},
        {"an unfinished install of the installed version, verified",
         [&](const fs::path& launcher) {
             test::writeBytes(launcher / "game" / kInstallingRecord, otherA);
             return "cannot write to " + launcher.string() + " (Permission denied)";
         },
         "check,verify", "driver: done Failed | "},
        {"a lock file the player may not open in their own folder",
         [&](const fs::path& launcher) {
             fs::permissions(launcher / kRunLock, fs::perms::owner_read | fs::perms::owner_write);
             EXPECT_EQ(chown(launcher.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
             return "";
         },
         "check", "driver: done UpToDate | Up to date"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path launcher = launcherFolder("only-reads-" + std::to_string(++n));
        const fs::path out = tmp.path() / ("only-reads-" + std::to_string(n) + ".out");
        ASSERT_EQ(test::runProgram(driver(launcher, "A", "check,update"), out), 0)
            << readBytes(out);
        ASSERT_TRUE(fs::remove(launcher / ".news"));
        const std::string cause = row.prepare(launcher);
        const Files before = everyFile(launcher);

        const fs::path played = tmp.path() / ("only-reads-" + std::to_string(n) + ".played");
        test::runProgram(playerCommand(driver(launcher, "A", row.steps)), played);
        const std::string text = readBytes(played);
        EXPECT_NE(text.find(std::string(row.end) + cause + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("this run only reads"), std::string::npos) << text;
        EXPECT_NE(text.find("launcher: latest A, installed A"), std::string::npos) << text;
        EXPECT_EQ(changedFiles(before, everyFile(launcher)), std::vector<std::string>{}) << text;
    }
}

// Starts the programs at one moment: each first opens a pipe for reading, which waits for a
// writer; once all of them wait there, the test's open for writing lets them through together.
// Their exit codes, in order.
std::vector<int> runTogether(const std::vector<std::vector<std::string>>& programs,
                             const std::vector<fs::path>& outputs, const fs::path& gate) {
    EXPECT_EQ(mkfifo(gate.c_str(), 0600), 0);
    std::vector<pid_t> started;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec 3<\"$0\" && exec \"$@\"",
                                         gate.string()};
        argv.insert(argv.end(), programs[i].begin(), programs[i].end());
        started.push_back(test::spawnProgram(argv, outputs[i], false));
    }
    const auto allWaiting = [&] {
        for (const pid_t pid : started) {
            if (readBytes("/proc/" + std::to_string(pid) + "/wchan") != "wait_for_partner")
                return false;
        }
        return true;
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!allWaiting() && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    EXPECT_TRUE(allWaiting());
    close(open(gate.c_str(), O_WRONLY | O_CLOEXEC));
    std::vector<int> codes;
    for (const pid_t pid : started) {
        int status = 0;
        waitpid(pid, &status, 0);
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    fs::remove(gate);
    return codes;
}

TEST_F(LauncherFolder, TwoLaunchersStartedTogetherOnAFolderAtTheLockNameNeverBothRun) {
    // A folder of many files stands where the lock file goes, so that clearing it takes long;
    // both launchers clear it at once, and the one that finishes last must not take the lock
    // from the one that locked first. Against one release, and against two releases of the
    // same sizes (a mixed game would then fail its verify).
    const struct {
        const char* name;
        const char* second; // the release the second launcher installs
    } cases[] = {{"one release", "A"}, {"two releases", "B"}};
    constexpr int kRounds = 4;
    constexpr int kFilesInTheWay = 20000;
    const std::string held =
        "driver: done Failed | another Corvanthe launcher is updating this folder";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path launcher = launcherFolder(std::string("race-") + c.second);
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE(round);
            std::error_code ec;
            fs::remove_all(launcher / "game", ec);
            fs::remove_all(launcher / ".staging", ec);
            fs::remove_all(launcher / kRunLock, ec);
            fs::create_directories(launcher / kRunLock);
            for (int i = 0; i < kFilesInTheWay; ++i)
                std::ofstream(launcher / kRunLock / std::to_string(i)).close();

            const fs::path outs[] = {tmp.path() / "first.out", tmp.path() / "second.out"};
            const std::vector<int> codes =
                runTogether({driver(launcher, "A", "update"), driver(launcher, c.second, "update")},
                            {outs[0], outs[1]}, tmp.path() / "gate");
            const std::string texts[] = {readBytes(outs[0]), readBytes(outs[1])};
            const bool firstHeld = texts[0].find(held) != std::string::npos;
            const bool secondHeld = texts[1].find(held) != std::string::npos;
            ASSERT_NE(firstHeld, secondHeld) << texts[0] << "\n-----\n" << texts[1];
            const int winner = firstHeld ? 1 : 0;
            EXPECT_EQ(codes[winner], 0) << texts[winner];
            EXPECT_EQ(codes[1 - winner], 1) << texts[1 - winner];

            const char* installed = winner == 0 ? "A" : c.second;
            const fs::path out = tmp.path() / "verify.out";
            EXPECT_EQ(test::runProgram(driver(launcher, installed, "verify"), out), 0)
                << readBytes(out);
            EXPECT_NE(readBytes(out).find("(0 files replaced)"), std::string::npos)
                << readBytes(out);
            fs::remove(out);
            EXPECT_EQ(test::readFiles(launcher / "game"), installed[0] == 'A' ? kA : kB);
        }
    }
}

} // namespace
} // namespace qv::launcher
