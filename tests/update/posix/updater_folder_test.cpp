// The launcher folder as players meet it, played with the headless driver against nginx on
// 127.0.0.1: a folder installed by an administrator that the player may read but not change
// (the driver run as the user nobody), the same on a read-only mount, a lock file left behind
// that the player may not open or only read, two launchers started at the same moment on a
// folder whose lock name holds an odd folder or a lock file closed to them, and a lock file
// moved away between a launcher's open and its lock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
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

    // Why the test cannot play as another user than the one who installs; null when it can.
    // Every folder above the launcher's is opened to that user.
    const char* whyNoPlayer() {
        if (geteuid() != 0)
            return "needs root, to install as one user and play as another (nobody)";
        if (!fs::exists(test::onPath("setpriv"))) return "no setpriv (util-linux)";
        if (getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
            return "no user nobody or group nogroup";
        fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        return nullptr;
    }

    // The command run as the player, the user nobody, with the umask of a careful root (077):
    // what the player's launcher makes must not depend on it.
    static std::vector<std::string> asPlayer(const std::vector<std::string>& command) {
        std::vector<std::string> argv = {test::onPath("setpriv"),
                                         "--reuid=nobody",
                                         "--regid=nogroup",
                                         "--clear-groups",
                                         "/bin/sh",
                                         "-c",
                                         "umask 077 && exec \"$@\"",
                                         "sh"};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }

    // A launcher folder of the player's own, with the driver in it.
    fs::path playerFolder(const std::string& name) const {
        const fs::path folder = launcherFolder(name);
        EXPECT_EQ(chown(folder.c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid),
                  0);
        return folder;
    }

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
};

TEST_F(LauncherFolder, APlayerWhoMayNotWriteTheFolderStillPlaysAndChangesNothing) {
    if (const char* why = whyNoPlayer()) SKIP_WITHOUT_SETUP(why);
    // Installed by root; the player, nobody, may read and enter every folder but change none.
    const fs::path launcher = launcherFolder("installed");
    const fs::path out = tmp.path() / "install.out";
    ASSERT_EQ(test::runProgram(driver(launcher, "A", "check,update"), out), 0) << readBytes(out);
    const Files before = everyFile(launcher);

    const auto asPlayer = [&](const char* release, const char* steps, const char* name) {
        const fs::path output = tmp.path() / name;
        const int code =
            test::runProgram(LauncherFolder::asPlayer(driver(launcher, release, steps)), output);
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
    selfUpdating = LauncherFolder::asPlayer(selfUpdating);
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
    if (const char* why = whyNoPlayer()) SKIP_WITHOUT_SETUP(why);
    const fs::path launcher = launcherFolder("own");
    test::writeBytes(launcher / kRunLock, "");
    fs::permissions(launcher / kRunLock, fs::perms::owner_read | fs::perms::owner_write |
                                             fs::perms::group_read | fs::perms::others_read);
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(launcher.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    const fs::path out = tmp.path() / "own.out";
    EXPECT_EQ(test::runProgram(asPlayer(driver(launcher, "A", "check,update")), out), 0)
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
    if (const char* why = whyNoPlayer()) SKIP_WITHOUT_SETUP(why);
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
        // A folder everyone may add files to, whose sticky bit keeps the player from replacing
        // root's lock file there.
        {"a lock file the player may neither open nor replace",
         [&](const fs::path& launcher) {
             fs::permissions(launcher / kRunLock, fs::perms::owner_read | fs::perms::owner_write);
             fs::permissions(launcher, fs::perms::all | fs::perms::sticky_bit);
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
        test::runProgram(asPlayer(driver(launcher, "A", row.steps)), played);
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

// Runs the two launchers at one moment: exactly one of them must run, and the other must say
// that another launcher is updating the folder. The index of the one that ran; -1 when not so.
int oneOfTwoRuns(const std::vector<std::string>& first, const std::vector<std::string>& second,
                 const fs::path& scratch) {
    const std::string held =
        "driver: done Failed | another Corvanthe launcher is updating this folder";
    const fs::path outs[] = {scratch / "first.out", scratch / "second.out"};
    const std::vector<int> codes =
        runTogether({first, second}, {outs[0], outs[1]}, scratch / "gate");
    const std::string texts[] = {readBytes(outs[0]), readBytes(outs[1])};
    const bool firstHeld = texts[0].find(held) != std::string::npos;
    const bool secondHeld = texts[1].find(held) != std::string::npos;
    EXPECT_NE(firstHeld, secondHeld) << texts[0] << "\n-----\n" << texts[1];
    if (firstHeld == secondHeld) return -1;
    const int winner = firstHeld ? 1 : 0;
    EXPECT_EQ(codes[winner], 0) << texts[winner];
    EXPECT_EQ(codes[1 - winner], 1) << texts[1 - winner];
    return winner;
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

            const int winner = oneOfTwoRuns(driver(launcher, "A", "update"),
                                            driver(launcher, c.second, "update"), tmp.path());
            ASSERT_NE(winner, -1);
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

// The driver's own lines about the lock file.
bool saysReplaced(const std::string& output, const fs::path& lock) {
    return output.find("launcher: replaced " + lock.string() +
                       ", which this launcher may not open (Permission denied)") !=
           std::string::npos;
}

TEST_F(LauncherFolder, ALockFileThePlayerMayNotOpenIsReplacedAndOneTheyMayReadIsKept) {
    // In the player's own folder, a lock file left as root's run with umask 077 leaves it, the
    // player's own made unreadable, or one an ACL entry shuts the player out of, must not keep
    // the player from updates: it is replaced. One the player may read is locked as it is (it
    // may be held by another user's launcher right now).
    if (const char* why = whyNoPlayer()) SKIP_WITHOUT_SETUP(why);
    const std::string setfacl = test::onPath("setfacl");
    if (!fs::exists(setfacl)) SKIP_WITHOUT_SETUP("no setfacl (acl)");
    const uid_t nobody = getpwnam("nobody")->pw_uid;
    const struct {
        const char* name;
        uid_t owner;
        mode_t mode;
        const char* acl; // null: none
        bool replaced;
    } cases[] = {
        {"root's, mode 600", 0, 0600, nullptr, true},
        {"the player's own, mode 000", nobody, 0000, nullptr, true},
        {"an ACL entry u:nobody:---", 0, 0666, "u:nobody:---", true},
        {"root's, mode 644", 0, 0644, nullptr, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path launcher = playerFolder("closed-" + std::to_string(n++));
        const fs::path lock = launcher / kRunLock;
        const fs::path out = tmp.path() / "closed.out";
        ASSERT_EQ(test::runProgram(asPlayer(driver(launcher, "A", "check,update")), out), 0)
            << readBytes(out);
        struct stat made {};
        ASSERT_EQ(stat(lock.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, 0666u); // so the root run below can be anyone's too
        fs::remove(out);

        fs::remove(lock);
        test::writeBytes(lock, "");
        ASSERT_EQ(chown(lock.c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(lock.c_str(), c.mode), 0);
        if (c.acl) {
            ASSERT_EQ(test::runProgram({setfacl, "-m", c.acl, lock.string()}, out), 0);
        }
        struct stat left {};
        ASSERT_EQ(stat(lock.c_str(), &left), 0);

        EXPECT_EQ(test::runProgram(asPlayer(driver(launcher, "B", "check,update")), out), 0)
            << readBytes(out);
        const std::string text = readBytes(out);
        fs::remove(out);
        EXPECT_NE(text.find("driver: done UpToDate | Up to date"), std::string::npos) << text;
        EXPECT_EQ(test::readFiles(launcher / "game"), kB);
        struct stat now {};
        ASSERT_EQ(stat(lock.c_str(), &now), 0);
        EXPECT_EQ(saysReplaced(text, lock), c.replaced) << text;
        EXPECT_EQ(now.st_ino != left.st_ino, c.replaced);
        if (c.replaced) {
            EXPECT_EQ(now.st_mode & 07777, 0666u);
        } else {
            EXPECT_EQ(now.st_uid, 0u);
        }
    }
}

TEST_F(LauncherFolder, TwoLaunchersAtALockFileTheyMayNotOpenNeverBothRun) {
    // Both find the lock file closed to them and replace it at once: the second must not replace
    // the new file the first may hold by then.
    if (const char* why = whyNoPlayer()) SKIP_WITHOUT_SETUP(why);
    const fs::path launcher = playerFolder("race-closed");
    const fs::path lock = launcher / kRunLock;
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::error_code ec;
        fs::remove_all(launcher / "game", ec);
        fs::remove_all(launcher / ".staging", ec);
        fs::remove(lock, ec);
        test::writeBytes(lock, "");
        ASSERT_EQ(chmod(lock.c_str(), 0600), 0); // root's

        ASSERT_NE(oneOfTwoRuns(asPlayer(driver(launcher, "A", "update")),
                               asPlayer(driver(launcher, "A", "update")), tmp.path()),
                  -1);
        EXPECT_EQ(test::readFiles(launcher / "game"), kA);
    }
}

TEST_F(LauncherFolder, AFolderOnAReadOnlyMountIsReadAndNeverChanged) {
    // Root may change every folder, but not one on a read-only mount: the system's refusal
    // there is the read-only file system's, and the run must still show the game.
    if (geteuid() != 0) SKIP_WITHOUT_SETUP("needs root, to mount");
    const std::string unshare = test::onPath("unshare");
    if (!fs::exists(unshare) ||
        test::runProgram({unshare, "-m", "true"}, tmp.path() / "unshare.out") != 0)
        SKIP_WITHOUT_SETUP("no private mount namespace (unshare -m)");
    const fs::path launcher = launcherFolder("mounted");
    const fs::path out = tmp.path() / "mounted.out";
    ASSERT_EQ(test::runProgram(driver(launcher, "A", "check,update"), out), 0) << readBytes(out);
    fs::remove(out);
    const Files before = everyFile(launcher);
    // The launcher folder mounted read-only over itself, seen by this command alone.
    const auto readOnly = [&](const char* release, const char* steps) {
        std::vector<std::string> argv = {
            unshare,
            "-m",
            "/bin/sh",
            "-c",
            "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\" \"$0\" && exec \"$@\"",
            launcher.string()};
        for (const std::string& arg : driver(launcher, release, steps))
            argv.push_back(arg);
        const int code = test::runProgram(argv, out);
        std::string text = readBytes(out);
        fs::remove(out);
        return std::pair{code, text};
    };

    auto [same, sameText] = readOnly("A", "check,verify");
    EXPECT_EQ(same, 0) << sameText;
    EXPECT_NE(sameText.find("| installed A | latest A | download 0 | game present"),
              std::string::npos)
        << sameText;
    EXPECT_NE(sameText.find("driver: done UpToDate | Files verified"), std::string::npos)
        << sameText;

    auto [newer, newerText] = readOnly("B", "check,update");
    EXPECT_EQ(newer, 1) << newerText;
    const std::string cause = "cannot write to " + launcher.string() + " (Read-only file system)";
    EXPECT_NE(newerText.find("snapshot: Failed | " + cause + " |"), std::string::npos) << newerText;
    EXPECT_NE(newerText.find("| installed A | latest B | download"), std::string::npos)
        << newerText;
    EXPECT_TRUE(server->requestsFor("/B/objects/").empty());
    EXPECT_EQ(everyFile(launcher), before);
}

// The id of the first task of the process stopped in the system call, as /proc shows a task
// stopped by its tracer; 0 while none is.
pid_t taskInCall(pid_t pid, long call) {
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const std::string text = readBytes(task.path() / "syscall");
        if (text.rfind(std::to_string(call) + " ", 0) == 0)
            return static_cast<pid_t>(std::stol(task.path().filename().string()));
    }
    return 0;
}

TEST_F(LauncherFolder, ALockFileMovedAwayBeforeItIsLockedIsLetGoForTheOneAtTheName) {
    // Another launcher puts a fresh file at the lock's name between this one's open and its
    // lock: the lock on the file moved away excludes nobody, so the driver must end up holding
    // the file at the name. strace holds the driver's first lock call until the test has
    // renamed; the driver then waits on a server that never answers, holding what it holds.
    const std::string strace = test::onPath("strace");
    if (!fs::exists(strace) ||
        test::runProgram({strace, "-o", "/dev/null", "true"}, tmp.path() / "strace.out") != 0)
        SKIP_WITHOUT_SETUP("strace cannot trace here");
    const fs::path launcher = launcherFolder("moved");
    const fs::path lock = launcher / kRunLock;
    test::writeBytes(lock, "");

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string silent = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    // -D keeps the driver the test's own child, so that it runs on once its tracer is gone.
    std::vector<std::string> argv = {
        strace, "-D",          "-f", "-qq",         "-o", "/dev/null",
        "-P",   lock.string(), "-e", "trace=flock", "-e", "inject=flock:delay_enter=600s:when=1"};
    for (const std::string& arg : test::driverCommand(launcher, silent, site->publicHex(), "check"))
        argv.push_back(arg);
    const fs::path out = tmp.path() / "moved.out";
    const pid_t pid = test::spawnProgram(argv, out, false);
    ASSERT_GT(pid, 0);
    int status = 0;
    const auto ended = [&] { return waitpid(pid, &status, WNOHANG) == pid; };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool gone = false;
    while (taskInCall(pid, SYS_flock) == 0 && !(gone = ended()) &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    ASSERT_FALSE(gone) << readBytes(out);
    ASSERT_NE(taskInCall(pid, SYS_flock), 0) << readBytes(out);

    const fs::path fresh = launcher / "fresh";
    test::writeBytes(fresh, "");
    struct stat freshFile {};
    ASSERT_EQ(stat(fresh.c_str(), &freshFile), 0);
    fs::rename(fresh, lock);
    // The tracer's end lets the held call go on at once.
    pid_t tracer = 0;
    std::istringstream lines(readBytes("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("TracerPid:", 0) == 0) tracer = std::stoi(line.substr(10));
    }
    ASSERT_GT(tracer, 0);
    kill(tracer, SIGKILL);

    // The run goes on line only once it holds the folder's lock.
    int connection = -1;
    while ((connection = accept(listener, nullptr, nullptr)) < 0 && !(gone = ended()) &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    EXPECT_GE(connection, 0) << readBytes(out);
    const int own = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat named {};
    EXPECT_EQ(fstat(own, &named), 0);
    EXPECT_EQ(named.st_ino, freshFile.st_ino);
    if (!gone) {
        EXPECT_NE(flock(own, LOCK_EX | LOCK_NB), 0)
            << "the driver does not hold the file at " << lock << "\n"
            << readBytes(out);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(own);
    if (connection >= 0) close(connection);
    close(listener);
}

} // namespace
} // namespace qv::launcher
