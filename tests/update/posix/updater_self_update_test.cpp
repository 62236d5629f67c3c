// Self-update: the file swap with its roll-back, and the real thing, in which the headless
// driver is the running launcher that a release replaces with a newer build and restarts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

#include "nginx.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;
namespace fs = std::filesystem;

void plainRename(const fs::path& from, const fs::path& to, std::error_code& ec) {
    fs::rename(from, to, ec);
}

class Swap : public ::testing::Test {
  protected:
    void SetUp() override {
        writeBytes(exe, "running launcher");
        writeBytes(fresh, "new launcher");
    }
    TempDir tmp;
    fs::path exe = tmp.path() / "corvanthe-launcher.exe";
    fs::path fresh = tmp.path() / "corvanthe-launcher.exe.new";
    fs::path old = tmp.path() / "corvanthe-launcher.exe.old";
};

TEST_F(Swap, MovesTheOldAsideAndTheNewInPlace) {
    writeBytes(old, "leftover of an earlier self-update");
    std::string error;
    ASSERT_TRUE(swapLauncherFiles(exe, fresh, old, error, plainRename));
    EXPECT_EQ(readBytes(exe), "new launcher");
    EXPECT_EQ(readBytes(old), "running launcher");
    EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(Swap, AnOldPathThatCannotBeClearedKeepsTheRunningLauncher) {
    writeBytes(old / "something", "x"); // a folder that neither removal nor rename can replace
    std::string error;
    EXPECT_FALSE(swapLauncherFiles(exe, fresh, old, error, plainRename));
    EXPECT_EQ(error, "cannot move the old launcher aside");
    EXPECT_EQ(readBytes(exe), "running launcher");
    EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(Swap, ASecondMoveThatFailsPutsTheRunningLauncherBack) {
    int calls = 0;
    const RenameFunction refusingSecond = [&](const fs::path& from, const fs::path& to,
                                              std::error_code& ec) {
        if (++calls == 2) {
            ec = std::make_error_code(std::errc::permission_denied);
            return;
        }
        fs::rename(from, to, ec);
    };
    std::string error;
    EXPECT_FALSE(swapLauncherFiles(exe, fresh, old, error, refusingSecond));
    EXPECT_EQ(error, "cannot put the new launcher in place");
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(readBytes(exe), "running launcher");
    EXPECT_EQ(readBytes(fresh), "new launcher"); // the next self-update overwrites it
    EXPECT_FALSE(fs::exists(old));
}

TEST_F(Swap, InOneStepTheLauncherNameNeverGoesWithoutALauncher) {
    writeBytes(old, "leftover of an earlier self-update");
    std::vector<std::string> seenAtEachMove;
    const RenameFunction watching = [&](const fs::path& from, const fs::path& to,
                                        std::error_code& ec) {
        seenAtEachMove.push_back(readBytes(exe));
        fs::rename(from, to, ec);
    };
    std::string error;
    ASSERT_TRUE(replaceLauncherFile(exe, fresh, old, error, watching));
    EXPECT_EQ(seenAtEachMove, std::vector<std::string>{"running launcher"});
    EXPECT_EQ(readBytes(exe), "new launcher");
    EXPECT_EQ(readBytes(old), "running launcher");
    EXPECT_FALSE(fs::exists(fresh));

    const RenameFunction refusing = [](const fs::path&, const fs::path&, std::error_code& ec) {
        ec = std::make_error_code(std::errc::permission_denied);
    };
    writeBytes(fresh, "newer launcher");
    EXPECT_FALSE(replaceLauncherFile(exe, fresh, old, error, refusing));
    EXPECT_EQ(error, "cannot put the new launcher in place");
    EXPECT_EQ(readBytes(exe), "new launcher");
}

// Where the running launcher can be neither linked nor copied beside the new one (here a folder
// with files in it holds ".old"; on a stick without hard links, a full one), a refused new
// launcher could not be taken out again: the swap is not made.
TEST_F(Swap, WithoutAKeptRunningLauncherTheNewOneIsNotPutInPlace) {
    fs::create_directories(old / "in the way");
    writeBytes(old / "in the way" / "file", "x");
    int renames = 0;
    const RenameFunction counting = [&](const fs::path& from, const fs::path& to,
                                        std::error_code& ec) {
        ++renames;
        fs::rename(from, to, ec);
    };
    std::string error;
    EXPECT_FALSE(replaceLauncherFile(exe, fresh, old, error, counting));
    EXPECT_EQ(error, "cannot keep the running launcher beside the new one");
    EXPECT_EQ(renames, 0);
    EXPECT_EQ(readBytes(exe), "running launcher");
    EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(Swap, TakingASwapBackPutsTheRunningLauncherUnderItsNameInOneRename) {
    using SwapFunction = bool (*)(const fs::path&, const fs::path&, const fs::path&, std::string&,
                                  const RenameFunction&);
    for (const SwapFunction swap : {&swapLauncherFiles, &replaceLauncherFile}) {
        writeBytes(exe, "running launcher");
        writeBytes(fresh, "refused launcher");
        std::string error;
        ASSERT_TRUE(swap(exe, fresh, old, error, plainRename));
        std::vector<std::string> seenAtEachMove;
        const RenameFunction watching = [&](const fs::path& from, const fs::path& to,
                                            std::error_code& ec) {
            seenAtEachMove.push_back(readBytes(exe));
            fs::rename(from, to, ec);
        };
        EXPECT_TRUE(undoLauncherSwap(exe, old, watching));
        // The name never goes without a file, and the refused one is gone with the move.
        EXPECT_EQ(seenAtEachMove, std::vector<std::string>{"refused launcher"});
        EXPECT_EQ(readBytes(exe), "running launcher");
        EXPECT_FALSE(fs::exists(old));
        EXPECT_FALSE(fs::exists(fresh));
    }
}

TEST_F(Swap, TheNextStartFinishesASwapStoppedBetweenItsMoves) {
    // Stopped after the running launcher went to ".old": started again from any of the names.
    for (const fs::path& self : {exe, old, fresh}) {
        SCOPED_TRACE(self.string());
        fs::remove(exe);
        writeBytes(old, "running launcher");
        writeBytes(fresh, "new launcher");
        finishLauncherSwap(self);
        EXPECT_EQ(readBytes(exe), "new launcher");
        EXPECT_FALSE(fs::exists(fresh));
    }
    // A launcher in place is never replaced by a waiting ".new".
    writeBytes(fresh, "stale new launcher");
    finishLauncherSwap(exe);
    EXPECT_EQ(readBytes(exe), "new launcher");
}

// The driver copied into a launcher folder of its own, and a release server.
class SelfUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        server = std::make_unique<test::Nginx>(site->site(), tmp.path() / "nginx", "sesame");
        ASSERT_TRUE(server->start());
        fs::create_directories(launcher);
        fs::copy_file(test::buildTool("updater_driver"), driver);
        driverBytes = readBytes(driver);
    }
    void TearDown() override { server.reset(); }

    int runDriver(const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {driver.string(), "--server", server->url(), "--key",
                                         site->publicHex()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return test::runProgram(argv, output);
    }
    bool waitForOutput(const std::string& text, int seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (readBytes(output).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // A launcher folder holding only the driver, and a release of the game whose launcher has
    // these bytes.
    bool publishWithLauncher(const std::string& bytes, const std::string& version) {
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        writeBytes(driver, driverBytes);
        fs::permissions(driver, fs::perms::owner_all);
        fs::remove(output);
        writeBytes(tmp.path() / "published-driver", bytes);
        return site->publish(game, version,
                             {"--launcher", (tmp.path() / "published-driver").string()});
    }

    TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
    fs::path launcher = tmp.path() / "launcher";
    fs::path driver = launcher / "updater_driver";
    fs::path output = tmp.path() / "driver.out";
    std::string driverBytes;
    const test::Files game = {{"corvanthe.exe", test::randomBytes(30000, 31)},
                              {"data.pak", "data\n"}};
};

TEST_F(SelfUpdate, ReplacesAndRestartsTheRunningDriver) {
    // A newer build: the same program with bytes of its own, so its hash differs.
    const std::string newer = driverBytes + "\ncorvanthe newer build\n";
    const std::string newerHash =
        hashHex(reinterpret_cast<const std::uint8_t*>(newer.data()), newer.size());
    writeBytes(tmp.path() / "newer-driver", newer);
    ASSERT_TRUE(site->publish(game, "1.0", {"--launcher", (tmp.path() / "newer-driver").string()}));

    ASSERT_EQ(runDriver({"--steps", "check,update", "--fast"}), 0) << readBytes(output);
    ASSERT_TRUE(waitForOutput("driver: done", 60)) << readBytes(output);
    const std::string out = readBytes(output);

    EXPECT_NE(out.find("snapshot: Working | Updating the launcher | progress "), std::string::npos)
        << out;
    EXPECT_NE(out.find("snapshot: Restarting | Restarting the launcher | progress -1.000"),
              std::string::npos);
    EXPECT_NE(out.find("launcher: replaced itself with " + newerHash + "; restarting"),
              std::string::npos);
    EXPECT_NE(out.find("driver: handed over to the new launcher"), std::string::npos);
    // The new process: its own arguments with "--updated" last, in the launcher folder, the new
    // build.
    EXPECT_NE(out.find("driver: arguments [--server] [" + server->url() + "] [--key] [" +
                       site->publicHex() + "] [--steps] [check,update] [--fast] [--updated]"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("driver: working folder " + launcher.string() + "\n"), std::string::npos);
    EXPECT_NE(out.find("driver: own hash " + newerHash), std::string::npos);
    EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos);
    EXPECT_EQ(readBytes(driver), newer);
    EXPECT_NE(fs::status(driver).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(fs::exists(launcher / "updater_driver.old")); // removed by the new start
    EXPECT_FALSE(fs::exists(launcher / "updater_driver.new"));
    EXPECT_EQ(test::readFiles(launcher / "game"), game); // the new launcher went on with the game
}

TEST_F(SelfUpdate, ARestartThatCannotStartKeepsTheSwapAndGoesOnWithTheGame) {
    const std::string newer = driverBytes + "\ncorvanthe newer build\n";
    writeBytes(tmp.path() / "newer-driver", newer);
    ASSERT_TRUE(site->publish(game, "1.0", {"--launcher", (tmp.path() / "newer-driver").string()}));

    // An argument that is not UTF-8 cannot be handed to the new process.
    ASSERT_EQ(runDriver({"--steps", "check,update", "--odd\xff"}), 0) << readBytes(output);
    const std::string out = readBytes(output);
    EXPECT_NE(out.find("launcher: self-update failed: cannot restart the launcher (an argument "
                       "is not valid UTF-8)"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Restarting the launcher"), std::string::npos);
    EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos) << out;
    // The next start runs the new build; the previous one waits under ".old" to be removed.
    EXPECT_EQ(readBytes(driver), newer);
    EXPECT_EQ(readBytes(launcher / "updater_driver.old"), driverBytes);
    EXPECT_FALSE(fs::exists(launcher / "updater_driver.new"));
    EXPECT_EQ(test::readFiles(launcher / "game"), game);
}

// Launchers with the right hash and signature that the system will not run, and the error the
// start reports for each.
struct RefusedLauncher {
    const char* name;
    std::string bytes;
    int error;
};
const RefusedLauncher kRefusedLaunchers[] = {
    {"no program at all", "corvanthe launcher, but only text\n", ENOEXEC},
    {"a script whose interpreter is missing", "#!/no/such/interpreter\n", ENOENT},
};

TEST_F(SelfUpdate, ANewLauncherTheSystemWillNotStartIsTakenOutAgain) {
    int version = 0;
    for (const RefusedLauncher& refused : kRefusedLaunchers) {
        SCOPED_TRACE(refused.name);
        ASSERT_TRUE(publishWithLauncher(refused.bytes, std::to_string(++version)));

        ASSERT_EQ(runDriver({"--steps", "check,update"}), 0) << readBytes(output);
        const std::string out = readBytes(output);
        EXPECT_NE(out.find("launcher: self-update failed: could not start updater_driver (error " +
                           std::to_string(refused.error) + ")"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos) << out;
        // The launcher that ran is back under its name, still a program, and nothing else of
        // the self-update is left.
        EXPECT_TRUE(readBytes(driver) == driverBytes) << "not the launcher that ran";
        EXPECT_NE(fs::status(driver).permissions() & fs::perms::owner_exec, fs::perms::none);
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.old"));
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.new"));
        EXPECT_EQ(test::readFiles(launcher / "game"), game);

        // It starts, and without a self-update it finds the game in place.
        fs::remove(output);
        EXPECT_EQ(runDriver({"--steps", "check", "--no-self-update"}), 0) << readBytes(output);
        EXPECT_NE(readBytes(output).find("driver: done UpToDate | Up to date"), std::string::npos)
            << readBytes(output);
    }
}

TEST_F(SelfUpdate, ARunWhoseNewLauncherDidNotStartGoesOnHoldingTheFolderLock) {
    writeBytes(tmp.path() / "refused-driver", kRefusedLaunchers[0].bytes);
    ASSERT_TRUE(
        site->publish(game, "1.0", {"--launcher", (tmp.path() / "refused-driver").string()}));
    // The first look at a game file, just after the failed start, is held up for a while; the
    // run meanwhile must keep every other launcher out of the folder.
    const std::string strace = test::onPath("strace");
    const pid_t pid = test::spawnProgram(
        {strace, "-f", "-qq", "-o", "/dev/null", "-P",
         (launcher / "game" / "corvanthe.exe").string(), "-e",
         "inject=stat,lstat,newfstatat,statx:delay_enter=4000000:when=1", driver.string(),
         "--server", server->url(), "--key", site->publicHex(), "--steps", "check"},
        output);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitForOutput("launcher: self-update failed: could not start", 60))
        << readBytes(output);
    const int fd = open((launcher / kRunLock).c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    const int why = errno;
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_FALSE(locked) << "the folder was free while the run went on\n" << readBytes(output);
    EXPECT_EQ(why, EWOULDBLOCK);
    EXPECT_NE(readBytes(output).find("driver: done NotInstalled"), std::string::npos)
        << readBytes(output);
}

// New launchers the system starts and that end at once: by the loader, missing a library they
// need, or by a signal. The run watches with a bound far above what either takes, since the
// wait ends as soon as the new launcher does.
struct EndedLauncher {
    const char* name;
    std::string bytes;
    const char* ending; // empty: an ordinary end, and the new launcher is kept
};

TEST_F(SelfUpdate, ANewLauncherThatEndsAtItsStartIsTakenOutAgainUnlessItsExitWasItsOwn) {
    const EndedLauncher cases[] = {
        {"needs a shared library that is not here",
         readBytes(test::buildTool("unloadable_launcher")), "exit 127"},
        {"ended by a signal", "#!/bin/sh\nkill -SEGV $$\n", "signal 11"},
        {"ends with an exit code of its own", "#!/bin/sh\nexit 3\n", ""},
    };
    int version = 0;
    for (const EndedLauncher& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(publishWithLauncher(c.bytes, std::to_string(++version)));

        ASSERT_EQ(runDriver({"--steps", "check,update", "--restart-watch", "120000"}), 0)
            << readBytes(output);
        const std::string out = readBytes(output);
        if (*c.ending == '\0') {
            EXPECT_NE(out.find("; restarting"), std::string::npos) << out;
            EXPECT_NE(out.find("driver: handed over to the new launcher"), std::string::npos);
            EXPECT_EQ(readBytes(driver), c.bytes);
            continue;
        }
        EXPECT_NE(out.find(std::string("launcher: self-update failed: the new launcher ended as "
                                       "it started (") +
                           c.ending + ")"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("Restarting | "), std::string::npos) << out;
        EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos) << out;
        EXPECT_TRUE(readBytes(driver) == driverBytes) << "not the launcher that ran";
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.old"));
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.new"));
        EXPECT_EQ(test::readFiles(launcher / "game"), game);
    }
}

// The new launcher lets another launcher take the folder in the moment the lock was free, and
// dies: the run cannot take the lock back, so it changes nothing.
TEST_F(SelfUpdate, ALockTakenInTheGapOfAFailedRestartStopsTheRun) {
    ASSERT_TRUE(site->publish(game, "1"));
    ASSERT_EQ(runDriver({"--steps", "check,update", "--no-self-update"}), 0) << readBytes(output);
    const test::Files newerGame = {{"corvanthe.exe", test::randomBytes(30000, 32)},
                                   {"data.pak", "newer data\n"}};
    const fs::path holderPid = tmp.path() / "holder.pid";
    writeBytes(tmp.path() / "holding-driver",
               "#!/bin/sh\nflock -n " + std::string(kRunLock) + " sh -c 'echo $$ > " +
                   holderPid.string() + "; exec sleep 600' &\nwhile [ ! -s " + holderPid.string() +
                   " ]; do sleep 0.01; done\nkill -SEGV $$\n");
    ASSERT_TRUE(
        site->publish(newerGame, "2", {"--launcher", (tmp.path() / "holding-driver").string()}));
    struct KillHolder {
        fs::path pidFile;
        ~KillHolder() {
            const std::string pid = readBytes(pidFile);
            if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
        }
    } killHolder{holderPid};

    fs::remove(output);
    EXPECT_EQ(runDriver({"--steps", "check", "--restart-watch", "120000"}), 1);
    const std::string out = readBytes(output);
    EXPECT_NE(out.find("launcher: self-update failed: the new launcher ended as it started "
                       "(signal 11)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("driver: done Failed | another Corvanthe launcher is updating this folder"),
              std::string::npos)
        << out;
    EXPECT_TRUE(readBytes(driver) == driverBytes) << "not the launcher that ran";
    EXPECT_EQ(test::readFiles(launcher / "game"), game);
}

TEST_F(SelfUpdate, NoSelfUpdateWhenNothingCallsForIt) {
    const std::string differentHash = (tmp.path() / "other-driver").string();
    writeBytes(differentHash, driverBytes + "other");
    struct Case {
        std::vector<std::string> publish;
        std::vector<std::string> driver;
    };
    const Case cases[] = {
        {{"--launcher", driver.string()}, {}}, // the release names this very build
        {{}, {}},                              // no launcher entry at all
        {{"--launcher", differentHash}, {"--no-self-update"}},
        {{"--launcher", differentHash}, {"--updated"}},
    };
    int version = 0;
    for (const Case& c : cases) {
        fs::remove_all(launcher / "game");
        ASSERT_TRUE(site->publish(game, std::to_string(++version), c.publish));
        fs::remove(output);
        std::vector<std::string> args = {"--steps", "check,update"};
        args.insert(args.end(), c.driver.begin(), c.driver.end());
        EXPECT_EQ(runDriver(args), 0) << readBytes(output);
        const std::string out = readBytes(output);
        EXPECT_EQ(out.find("Updating the launcher"), std::string::npos) << out;
        EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos) << out;
        EXPECT_EQ(readBytes(driver), driverBytes);
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.new"));
        EXPECT_FALSE(fs::exists(launcher / "updater_driver.old"));
        EXPECT_EQ(test::readFiles(launcher / "game"), game);
    }
}

TEST_F(SelfUpdate, AKillAtAnyRenameLeavesALauncherUnderItsName) {
    const std::string newer = driverBytes + "\ncorvanthe newer build\n";
    const std::string refused = kRefusedLaunchers[0].bytes;
    writeBytes(tmp.path() / "newer-driver", newer);
    writeBytes(tmp.path() / "refused-driver", refused);
    const std::string strace = test::onPath("strace");
    // Renames: the news cache, the new launcher's temporary file, then its move into place; for
    // a launcher that will not start, then the move that takes it out again.
    struct Round {
        const char* launcher;
        int n;
    };
    std::vector<Round> rounds;
    for (int n = 1; n <= 4; ++n)
        rounds.push_back({"newer-driver", n});
    for (int n = 1; n <= 5; ++n)
        rounds.push_back({"refused-driver", n});
    std::string published;
    for (const Round& round : rounds) {
        SCOPED_TRACE(std::string(round.launcher) + " " + std::to_string(round.n));
        if (published != round.launcher) {
            published = round.launcher;
            ASSERT_TRUE(
                site->publish(game, published, {"--launcher", (tmp.path() / published).string()}));
        }
        const int n = round.n;
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        writeBytes(driver, driverBytes);
        fs::permissions(driver, fs::perms::owner_all);
        std::vector<std::string> argv = {strace,
                                         "-f",
                                         "-qq",
                                         "-o",
                                         "/dev/null",
                                         "-e",
                                         "inject=rename:signal=KILL:when=" + std::to_string(n),
                                         driver.string(),
                                         "--server",
                                         server->url(),
                                         "--key",
                                         site->publicHex(),
                                         "--steps",
                                         "check"};
        test::runProgram(argv, output);
        const std::string now = readBytes(driver);
        if (published == "newer-driver") {
            EXPECT_TRUE(now == driverBytes || now == newer) << "no whole launcher under its name";
        } else if (n == 4) {
            // Killed between the failed start and the move that undoes it: the one moment the
            // refused file stands at the name, which only a start attempt under that name
            // could reveal. The launcher that ran waits under ".old".
            EXPECT_TRUE(now == refused) << readBytes(output);
            EXPECT_TRUE(readBytes(launcher / "updater_driver.old") == driverBytes);
        } else {
            EXPECT_TRUE(now == driverBytes) << "not the launcher that ran\n" << readBytes(output);
        }
    }
}

} // namespace
} // namespace qv::launcher
