// An update killed at any file-system step must leave a game folder that the next run mends,
// whichever release the server offers by then: the same one, the previous one (a pulled
// release), or a third. The headless driver runs under strace, which kills it at the Nth
// rename, removal, folder creation, open or sync; every N of one small update is tried. A power
// cut at each sync or rename is played on an ext4 or btrfs image that loses what only the page
// cache held. The same driver shows placing files on another file system and on a full disk.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "../../support/setup_skip.h"
#include "nginx.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::Files;
using test::randomBytes;
using test::readBytes;
namespace fs = std::filesystem;

// v1 has a file "m", v2 a folder "m"; v3 turns it back into a file. Every file that changes
// keeps its size, so only its content tells the releases apart, and v2 shares one content
// between two paths.
const Files kV1 = {{"corvanthe.exe", randomBytes(9000, 1)},
                   {"m", "m is a file\n"},
                   {"data/a.bin", randomBytes(3000, 2)},
                   {"data/b.bin", randomBytes(2000, 3)},
                   {"old.bin", randomBytes(1000, 4)}};
const Files kV2 = {{"corvanthe.exe", randomBytes(9000, 11)}, {"m/x", "inside m\n"},
                   {"data/a.bin", randomBytes(3000, 12)},    {"data/b.bin", randomBytes(2000, 3)},
                   {"data/c.bin", randomBytes(3000, 12)},    {"new.bin", randomBytes(1500, 14)}};
const Files kV3 = {{"corvanthe.exe", randomBytes(9000, 21)},
                   {"m", "m is a file again\n"},
                   {"data/a.bin", randomBytes(3000, 22)},
                   {"data/c.bin", randomBytes(3000, 2)},
                   {"new.bin", randomBytes(1500, 14)}};

const char* const kPlayerFile = "saves/player.sav";

// The system calls a step is counted in; strace counts each one on its own, per thread.
const char* const kSteps[] = {"rename", "unlink", "unlinkat", "rmdir",
                              "mkdir",  "openat", "fsync",    "sync_file_range"};

Files withPlayerFile(Files files) {
    files[kPlayerFile] = "the player's own\n";
    return files;
}

bool anyPartFile(const fs::path& folder) {
    for (const auto& item : fs::recursive_directory_iterator(folder))
        if (item.path().extension() == ".part") return true;
    return false;
}

// A launcher folder with the driver in it (its folder is the launcher folder; hard-linked where
// it can be) and the game state copied from another one.
void makeLauncher(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& item : fs::directory_iterator(from)) {
        if (item.path().filename() != "updater_driver")
            fs::copy(item.path(), to / item.path().filename(), fs::copy_options::recursive);
    }
    test::placeDriver(to);
}

// Runs the work on four threads at once and waits for them; each takes cases until none is left.
void onFourThreads(const std::function<void()>& work) {
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back(work);
    for (std::thread& t : workers)
        t.join();
}

// A file system in an image file, loop-mounted with the options while the object lives. A copy
// of the image taken while it is mounted is the disk after a power cut at that moment: what only
// the page cache held is not in it.
class MountedImage {
  public:
    MountedImage(const fs::path& image, const fs::path& at, const char* options) : at_(at) {
        fs::create_directories(at);
        const fs::path out = at.string() + ".mount.out";
        mounted_ =
            test::runProgram({test::onPath("mount"), "-o", options, image.string(), at.string()},
                             out) == 0;
    }
    ~MountedImage() {
        if (!mounted_) return;
        // A program another test thread starts meanwhile may inherit, for its short life, a
        // descriptor of this one's open in the mount; the mount is busy until it ends.
        for (int attempt = 0; attempt < 600; ++attempt) {
            if (test::runProgram({test::onPath("umount"), at_.string()}, "/dev/null") == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        test::runProgram({test::onPath("umount"), "--lazy", at_.string()}, "/dev/null");
    }
    MountedImage(const MountedImage&) = delete;
    MountedImage& operator=(const MountedImage&) = delete;
    bool ok() const { return mounted_; }

  private:
    fs::path at_;
    bool mounted_ = false;
};

class DriverUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        const fs::path root = tmp.path() / "root";
        fs::create_directories(root);
        const std::pair<const char*, const Files*> releases[] = {
            {"v1", &kV1}, {"v2", &kV2}, {"v3", &kV3}};
        for (const auto& [name, files] : releases) {
            ASSERT_TRUE(site->publish(*files, name));
            fs::copy(site->site(), root / name, fs::copy_options::recursive);
        }
        server = std::make_unique<test::Nginx>(root, tmp.path() / "nginx", "sesame");
        ASSERT_TRUE(server->start());
        ASSERT_EQ(test::runProgram({test::onPath("strace"), "-o", "/dev/null", "true"},
                                   tmp.path() / "s.out"),
                  0)
            << "strace cannot trace here";
    }

    std::vector<std::string> driver(const fs::path& launcher, const char* release,
                                    const char* steps) const {
        return test::driverCommand(launcher, server->url() + release + "/", site->publicHex(),
                                   steps);
    }

    // The driver's update to the release under test (v2 unless a test says otherwise) under
    // strace with the options; its exit code, -1 when it was killed. Its output goes to
    // "<launcher>.strace.out".
    int updateUnder(const fs::path& launcher, const std::vector<std::string>& options) const {
        std::vector<std::string> argv = {test::onPath("strace"), "-f", "-qq"};
        argv.insert(argv.end(), options.begin(), options.end());
        const std::vector<std::string> run = driver(launcher, updateTo.first, "update");
        argv.insert(argv.end(), run.begin(), run.end());
        return test::runProgram(argv, launcher.parent_path() /
                                          (launcher.filename().string() + ".strace.out"));
    }

    // Killed at the Nth call of the system call when n > 0, otherwise traced into the file.
    // True when the driver was killed.
    bool interruptedUpdate(const fs::path& launcher, const std::string& call, int n,
                           const fs::path& trace) const {
        std::string what = "trace=";
        for (const char* step : kSteps)
            what += std::string(step) + (step == kSteps[std::size(kSteps) - 1] ? "" : ",");
        if (n > 0) what = "inject=" + call + ":signal=KILL:when=" + std::to_string(n);
        return updateUnder(launcher, {"-o", trace.string(), "-e", what}) == -1;
    }

    // Every step of the update from the launcher folder's state among the calls: each call's
    // 1st to Nth, N being how many of them the update makes in its busiest thread.
    std::vector<std::pair<std::string, int>> stepsOf(const fs::path& base,
                                                     const std::vector<std::string>& calls);

    // A launcher folder with v1 installed and a file of the player's in its game folder.
    fs::path installV1(const std::string& name) const {
        const fs::path base = tmp.path() / name;
        fs::create_directories(base);
        fs::create_hard_link(test::buildTool("updater_driver"), base / "updater_driver");
        const fs::path out = tmp.path() / (name + ".out");
        EXPECT_EQ(test::runProgram(driver(base, "v1", "check,update"), out), 0) << readBytes(out);
        test::writeBytes(base / "game" / kPlayerFile, "the player's own\n");
        return base;
    }

    // A run after the interruption against the release: it ends up to date, a verify replaces
    // nothing, the folder holds exactly that release and the player's file. Empty when so.
    std::string followUp(const fs::path& launcher, const char* release, const Files& files) const {
        const fs::path out = launcher.parent_path() / (launcher.filename().string() + ".out");
        const int code = test::runProgram(driver(launcher, release, "check,update,verify"), out);
        const std::string text = readBytes(out);
        std::string faults;
        const std::size_t verifying = text.find("driver: step verify");
        if (code != 0 || verifying == std::string::npos ||
            text.rfind("snapshot: UpToDate | Up to date |", verifying) == std::string::npos ||
            text.find("(0 files replaced)", verifying) == std::string::npos) {
            faults += "runs did not end up to date with nothing to mend\n";
        }
        if (test::readFiles(launcher / "game") != withPlayerFile(files))
            faults += "the game folder does not hold the release\n";
        if (fs::exists(launcher / ".staging") || anyPartFile(launcher))
            faults += "temporary files left\n";
        return faults.empty() ? faults : faults + text;
    }

    void killAtEveryStep(const fs::path& base);
    // An image holding a launcher folder "launcher" copied from base; empty when this machine
    // cannot make or mount one.
    fs::path imageOf(const fs::path& base) const;

    // A power cut right after each sync or rename of the update from the launcher folder's
    // state, and one after the update has ended; each followed by a run against each release.
    void powerCutAtEveryStep(const fs::path& base,
                             const std::vector<std::pair<const char*, const Files*>>& nextOffers);

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
    std::pair<const char*, const Files*> updateTo{"v2", &kV2}; // the release the update goes to
    // The power cuts' file system: ext4 with data=writeback and nodelalloc, its least forgiving
    // order (a journal commit may make a file's size and blocks durable before its content); or
    // btrfs, where a sync makes that one file durable and nothing changed before it elsewhere.
    bool btrfs = false;
    const char* mountOptions() const { return btrfs ? "loop" : "loop,data=writeback,nodelalloc"; }
};

std::vector<std::pair<std::string, int>>
DriverUpdate::stepsOf(const fs::path& base, const std::vector<std::string>& calls) {
    const fs::path traced = tmp.path() / "traced";
    fs::remove_all(traced);
    makeLauncher(base, traced);
    EXPECT_FALSE(interruptedUpdate(traced, "", 0, tmp.path() / "trace.txt"));
    EXPECT_EQ(test::readFiles(traced / "game"), withPlayerFile(*updateTo.second));
    std::map<std::string, std::map<std::string, int>> perThread; // call -> thread -> count
    {
        std::ifstream trace(tmp.path() / "trace.txt");
        std::string line;
        while (std::getline(trace, line)) {
            std::istringstream fields(line);
            std::string thread;
            std::string rest;
            fields >> thread >> rest;
            const std::string call = rest.substr(0, rest.find('('));
            ++perThread[call][thread];
        }
    }
    std::vector<std::pair<std::string, int>> steps;
    for (const std::string& call : calls) {
        int most = 0;
        for (const auto& [thread, count] : perThread[call])
            most = std::max(most, count);
        std::printf("%s: %d steps\n", call.c_str(), most);
        for (int n = 1; n <= most; ++n)
            steps.emplace_back(call, n);
    }
    return steps;
}

// Kills the driver's update to v2 from the launcher folder at every step, and follows each
// kill with a run against each release.
void DriverUpdate::killAtEveryStep(const fs::path& base) {
    const auto steps =
        stepsOf(base, std::vector<std::string>(std::begin(kSteps), std::end(kSteps)));
    ASSERT_GT(steps.size(), 30u);

    const std::pair<const char*, const Files*> nextOffers[] = {
        {"v2", &kV2}, {"v1", &kV1}, {"v3", &kV3}};
    std::atomic<std::size_t> next{0};
    std::atomic<int> kills{0};
    std::mutex faultsMutex;
    std::vector<std::string> faults;
    auto work = [&] {
        for (std::size_t i = next++; i < steps.size(); i = next++) {
            const auto& [call, n] = steps[i];
            const std::string name = "step-" + call + "-" + std::to_string(n);
            const fs::path killed = tmp.path() / name;
            makeLauncher(base, killed);
            if (!interruptedUpdate(killed, call, n, "/dev/null")) continue;
            ++kills;
            for (const auto& [release, files] : nextOffers) {
                const fs::path after = tmp.path() / (name + "-then-" + release);
                makeLauncher(killed, after);
                const std::string fault = followUp(after, release, *files);
                if (!fault.empty()) {
                    std::lock_guard<std::mutex> lock(faultsMutex);
                    faults.push_back("killed at " + call + " " + std::to_string(n) + ", then " +
                                     release + ": " + fault);
                }
                std::error_code ec;
                fs::remove_all(after, ec);
            }
            std::error_code ec;
            fs::remove_all(killed, ec);
        }
    };
    onFourThreads(work);

    std::printf("%zu steps tried, %d of them killed the update\n", steps.size(), kills.load());
    EXPECT_GT(kills.load(), 30);
    EXPECT_TRUE(faults.empty()) << faults.size() << " interruptions not mended; the first:\n"
                                << (faults.empty() ? "" : faults.front());
}

TEST_F(DriverUpdate, AKillAtAnyStepOfAnUpdateIsMendedWhateverTheServerOffersNext) {
    const fs::path base = installV1("base");
    ASSERT_FALSE(::testing::Test::HasFailure());
    killAtEveryStep(base);
}

TEST_F(DriverUpdate, AKillAtAnyStepOfAFirstInstallIsMendedWhateverTheServerOffersNext) {
    const fs::path base = tmp.path() / "empty";
    fs::create_directories(base / "game");
    test::writeBytes(base / "game" / kPlayerFile, "the player's own\n");
    killAtEveryStep(base);
}

fs::path DriverUpdate::imageOf(const fs::path& base) const {
    const fs::path image = tmp.path() / "base.img";
    if (geteuid() != 0) return {};
    std::ofstream(image).close();
    fs::resize_file(image, btrfs ? 128 << 20 : 24 << 20); // btrfs wants more than 100 MiB
    const fs::path out = tmp.path() / "mkfs.out";
    const std::vector<std::string> mkfs =
        btrfs ? std::vector<std::string>{test::onPath("mkfs.btrfs"), "-q", "-f", image.string()}
              : std::vector<std::string>{test::onPath("mkfs.ext4"), "-q", "-F", image.string()};
    if (test::runProgram(mkfs, out) != 0) return {};
    const MountedImage mounted(image, tmp.path() / "base-mnt", mountOptions());
    if (!mounted.ok()) return {};
    makeLauncher(base, tmp.path() / "base-mnt" / "launcher");
    return image;
}

// Copies an image as the disk holds it: holes stay holes, so copies cost little.
void copyImage(const fs::path& from, const fs::path& to) {
    ASSERT_EQ(test::runProgram({test::onPath("cp"), "--sparse=always", from.string(), to.string()},
                               "/dev/null"),
              0);
}

void DriverUpdate::powerCutAtEveryStep(
    const fs::path& base, const std::vector<std::pair<const char*, const Files*>>& nextOffers) {
    const fs::path image = imageOf(base);
    if (image.empty()) {
        SKIP_WITHOUT_SETUP("no loop-mounted " << (btrfs ? "btrfs" : "ext4")
                                              << " image here (needs root, mount and mkfs)");
    }
    // A cut right after each sync or rename, and one after the update has ended.
    auto cuts = stepsOf(base, {"fsync", "rename", "sync_file_range"});
    cuts.emplace_back("end", 0);

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> landed{0}; // cuts that stopped the update before it ended
    std::mutex faultsMutex;
    std::vector<std::string> faults;
    auto work = [&] {
        for (std::size_t i = next++; i < cuts.size(); i = next++) {
            const auto& [call, n] = cuts[i];
            const fs::path dir = tmp.path() / ("cut-" + call + "-" + std::to_string(n));
            fs::create_directories(dir);
            copyImage(image, dir / "disk.img");
            {
                const MountedImage running(dir / "disk.img", dir / "mnt", mountOptions());
                ASSERT_TRUE(running.ok());
                // Killed at the entry of the call after the Nth, so the Nth has been done.
                if (n == 0) {
                    const fs::path out = dir / "end.out";
                    EXPECT_EQ(test::runProgram(
                                  driver(dir / "mnt" / "launcher", updateTo.first, "update"), out),
                              0)
                        << readBytes(out);
                } else if (interruptedUpdate(dir / "mnt" / "launcher", call, n + 1, "/dev/null")) {
                    ++landed;
                }
                copyImage(dir / "disk.img", dir / "cut.img"); // the power goes now
            }
            for (const auto& [release, files] : nextOffers) {
                // An image name of its own: a loop device lets go of its file a little after
                // the unmount.
                const fs::path copy = dir / (std::string(release) + ".img");
                copyImage(dir / "cut.img", copy);
                const MountedImage after(copy, dir / "mnt", mountOptions());
                ASSERT_TRUE(after.ok());
                const std::string fault = followUp(dir / "mnt" / "launcher", release, *files);
                if (!fault.empty()) {
                    std::lock_guard<std::mutex> lock(faultsMutex);
                    faults.push_back("power cut after " + call + " " + std::to_string(n) +
                                     ", then " + release + ": " + fault);
                }
            }
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    };
    onFourThreads(work);

    std::printf("%zu power cuts tried, %zu of them inside the update\n", cuts.size(),
                landed.load());
    // A cut that comes after the update has ended tests nothing.
    EXPECT_GT(landed.load(), cuts.size() / 2);
    EXPECT_TRUE(faults.empty()) << faults.size() << " power cuts not mended; the first:\n"
                                << (faults.empty() ? "" : faults.front());
}

TEST_F(DriverUpdate, APowerCutAtAnySyncOrRenameOfAnUpdateLeavesNoRecordedFileTorn) {
    powerCutAtEveryStep(installV1("base"), {{"v2", &kV2}, {"v1", &kV1}});
}

TEST_F(DriverUpdate, APowerCutInAnUpdateFromAnUnfinishedInstallLeavesNoRecordedFileTorn) {
    // The update to v2 killed as it places "new.bin", the last of its files (v2's "m/x",
    // "data/a.bin" and "data/c.bin" in place by then); the update to v3 then starts by removing
    // what that one placed.
    const fs::path base = installV1("unfinished");
    const std::string& last = kV2.at("new.bin");
    const fs::path staged =
        base / ".staging" /
        hashHex(reinterpret_cast<const std::uint8_t*>(last.data()), last.size());
    ASSERT_EQ(updateUnder(base, {"-o", "/dev/null", "-P", staged.string(), "-e",
                                 "inject=rename:signal=KILL:when=1"}),
              -1);
    ASSERT_EQ(readBytes(base / "game" / "m" / "x"), kV2.at("m/x"));
    updateTo = {"v3", &kV3};
    // Where a sync does not carry along every change before it, the removals must have been
    // synced themselves before the record that gives them up is replaced.
    btrfs = true;
    powerCutAtEveryStep(base, {{"v3", &kV3}, {"v1", &kV1}});
}

TEST_F(DriverUpdate, AFullDiskLeavesEveryFileWholeAndIsReported) {
    // A write that finds no room: while a shared object is copied to its second path (whose
    // v1 file must stay whole), and while the record of the finished install is written.
    const struct {
        const char* file;
        std::string status;
    } cases[] = {
        {"data/c.bin", "cannot put data/c.bin in place (No space left on device)"},
        {".installed", "cannot write to "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path launcher = installV1(std::string("full-") + (c.file[0] == '.' ? "r" : "c"));
        const fs::path game = launcher / "game";
        const std::string before = readBytes(game / c.file);
        std::vector<std::string> options = {"-o", "/dev/null"};
        for (const std::string& name : {std::string(c.file), std::string(c.file) + ".part"}) {
            options.push_back("-P");
            options.push_back((game / name).string());
        }
        options.push_back("-e");
        options.push_back("inject=write,pwrite64,sendfile,copy_file_range:error=ENOSPC");
        EXPECT_EQ(updateUnder(launcher, options), 1);
        const std::string out = readBytes(launcher.string() + ".strace.out");
        EXPECT_NE(out.find("driver: done Failed | " + c.status), std::string::npos) << out;
        EXPECT_EQ(readBytes(game / c.file), before);
        EXPECT_EQ(followUp(launcher, "v2", kV2), "");
    }
}

TEST_F(DriverUpdate, AnInstallKilledWhilePlacingDownloadsNothingAgainForTheSameRelease) {
    // 40 files, each changing between the releases at the same size; the update is killed as
    // it places the 30th. What it placed already holds the release's bytes, and what it had
    // not placed yet waits in ".staging": the next run against the same release fetches nothing.
    Files many1;
    Files many2;
    for (int i = 0; i < 40; ++i) {
        const std::string path = "data/f" + std::to_string(i) + ".bin";
        many1[path] = randomBytes(2000, 100 + i);
        many2[path] = randomBytes(2000, 200 + i);
    }
    const fs::path root = tmp.path() / "root";
    ASSERT_TRUE(site->publish(many1, "m1"));
    fs::copy(site->site(), root / "m1", fs::copy_options::recursive);
    ASSERT_TRUE(site->publish(many2, "m2"));
    fs::copy(site->site(), root / "m2", fs::copy_options::recursive);
    const fs::path launcher = tmp.path() / "many";
    fs::create_directories(launcher);
    fs::create_hard_link(test::buildTool("updater_driver"), launcher / "updater_driver");
    ASSERT_EQ(test::runProgram(driver(launcher, "m1", "check,update"), tmp.path() / "m1.out"), 0)
        << readBytes(tmp.path() / "m1.out");

    // The renames of the worker thread, from a traced update of a copy; the 30th that moves a
    // staged object into the game folder is where the kill goes.
    const fs::path traced = tmp.path() / "many-traced";
    makeLauncher(launcher, traced);
    const fs::path trace = tmp.path() / "many-trace.txt";
    std::vector<std::string> argv = {test::onPath("strace"), "-f", "-qq",         "-o",
                                     trace.string(),         "-e", "trace=rename"};
    for (const std::string& arg : driver(traced, "m2", "update"))
        argv.push_back(arg);
    // Its exit code says little: a sanitizer's leak check cannot run under strace.
    test::runProgram(argv, tmp.path() / "many-traced.out");
    ASSERT_NE(readBytes(tmp.path() / "many-traced.out").find("driver: done UpToDate"),
              std::string::npos)
        << readBytes(tmp.path() / "many-traced.out");
    std::map<std::string, int> renames; // thread -> renames so far
    int killAt = 0;
    int placed = 0;
    std::ifstream lines(trace);
    for (std::string line; killAt == 0 && std::getline(lines, line);) {
        const std::string thread = line.substr(0, line.find(' '));
        const int n = ++renames[thread];
        if (line.find("/.staging/") != std::string::npos &&
            line.find("/game/data/") != std::string::npos && ++placed == 30)
            killAt = n;
    }
    ASSERT_GT(killAt, 0);

    argv = {test::onPath("strace"),
            "-f",
            "-qq",
            "-o",
            "/dev/null",
            "-e",
            "inject=rename:signal=KILL:when=" + std::to_string(killAt)};
    for (const std::string& arg : driver(launcher, "m2", "update"))
        argv.push_back(arg);
    ASSERT_EQ(test::runProgram(argv, tmp.path() / "many-killed.out"), -1);
    server->clearLog();
    const fs::path out = tmp.path() / "many-again.out";
    EXPECT_EQ(test::runProgram(driver(launcher, "m2", "check,update,verify"), out), 0)
        << readBytes(out);
    EXPECT_TRUE(server->requestsFor("/m2/objects/").empty()) << readBytes(out);
    EXPECT_NE(readBytes(out).find("(0 files replaced)"), std::string::npos) << readBytes(out);
    EXPECT_EQ(test::readFiles(launcher / "game"), many2);
}

TEST_F(DriverUpdate, AFileOfAnInterruptedInstallIsNotTakenForTheOneAnEarlierReleasePutThere) {
    // r1 installed; the update to r2 is killed once r2's "a.bin" is in place, as the record of
    // the finished install is renamed; r3 lists r1's "a.bin" again, of the same size as r2's.
    // The update to r3 is killed as it places its first file, right after it began: whatever it
    // found of r2 must not pass for r3's file then.
    const Files r1 = {{"corvanthe.exe", randomBytes(9000, 31)}, {"a.bin", randomBytes(3000, 32)}};
    Files r2 = r1;
    r2["a.bin"] = randomBytes(3000, 33);
    const fs::path root = tmp.path() / "root";
    for (const auto& [name, files] : {std::pair{"r1", &r1}, {"r2", &r2}, {"r3", &r1}}) {
        ASSERT_TRUE(site->publish(*files, name));
        fs::copy(site->site(), root / name, fs::copy_options::recursive);
    }
    const fs::path launcher = tmp.path() / "unfinished";
    fs::create_directories(launcher);
    fs::create_hard_link(test::buildTool("updater_driver"), launcher / "updater_driver");
    const fs::path game = launcher / "game";
    ASSERT_EQ(test::runProgram(driver(launcher, "r1", "check,update"), tmp.path() / "r1.out"), 0)
        << readBytes(tmp.path() / "r1.out");
    test::writeBytes(game / kPlayerFile, "the player's own\n");
    // Killed as the file is renamed away (strace finds a rename by its first name).
    const auto killedAtRename = [&](const char* release, const fs::path& from) {
        std::vector<std::string> argv = {test::onPath("strace"),
                                         "-f",
                                         "-qq",
                                         "-o",
                                         "/dev/null",
                                         "-P",
                                         from.string(),
                                         "-e",
                                         "inject=rename:signal=KILL:when=1"};
        for (const std::string& arg : driver(launcher, release, "update"))
            argv.push_back(arg);
        return test::runProgram(argv, tmp.path() / (std::string(release) + "-killed.out")) == -1;
    };
    fs::path record = game / kInstalledRecord;
    record += ".part";
    ASSERT_TRUE(killedAtRename("r2", record)) << readBytes(tmp.path() / "r2-killed.out");
    ASSERT_EQ(readBytes(game / "a.bin"), r2.at("a.bin"));
    const std::string& first = r1.at("a.bin");
    const std::string firstHash =
        hashHex(reinterpret_cast<const std::uint8_t*>(first.data()), first.size());
    ASSERT_TRUE(killedAtRename("r3", launcher / ".staging" / firstHash))
        << readBytes(tmp.path() / "r3-killed.out");
    EXPECT_EQ(followUp(launcher, "r3", r1), "");
}

TEST_F(DriverUpdate, AChannelChosenWhileFilesArePlacedIsCheckedBeforeTheRunEnds) {
    // The player picks Testing while Live's files go into place (each rename held up a little,
    // so that the placing lasts): the front end's check is dropped, the run must check Testing
    // itself, and the screen must never show Testing over Live's build.
    ASSERT_TRUE(site->publish(kV3, "t3", {"--testing"}));
    fs::copy(site->site() / "testing", tmp.path() / "root" / "v2" / "testing",
             fs::copy_options::recursive);
    const fs::path launcher = installV1("switch");
    server->clearLog();
    std::vector<std::string> argv = {test::onPath("strace"),
                                     "-f",
                                     "-qq",
                                     "-o",
                                     "/dev/null",
                                     "-e",
                                     "inject=rename:delay_enter=200000"};
    for (const std::string& arg : driver(launcher, "v2", "update"))
        argv.push_back(arg);
    for (const char* arg : {"--tester-key", "sesame", "--switch-at", "Putting files in place",
                            "--switch-to", "testing"})
        argv.push_back(arg);
    const fs::path outFile = tmp.path() / "switch.strace.out";
    test::runProgram(argv, outFile);
    const std::string out = readBytes(outFile);
    ASSERT_NE(out.find("driver: switching the channel"), std::string::npos) << out;
    const std::string last = out.substr(out.rfind("snapshot: "));
    EXPECT_NE(last.find("| Testing KeyAccepted | installed v2 | latest t3 |"), std::string::npos)
        << out;
    EXPECT_EQ(last.find("Up to date"), std::string::npos) << out;
    EXPECT_FALSE(server->requestsFor("/v2/testing/manifest-win64.txt").empty());
    EXPECT_EQ(test::readFiles(launcher / "game"), withPlayerFile(kV2));
}

TEST_F(DriverUpdate, ALockThatCannotBeTakenEndsTheRunAndChangesNothing) {
    // The system refuses every open of the lock file: the run must not go on without it.
    const fs::path launcher = installV1("no-lock");
    const fs::path lock = launcher / kRunLock;
    const Files before = test::readFiles(launcher / "game");
    EXPECT_EQ(updateUnder(launcher, {"-o", "/dev/null", "-P", lock.string(), "-e",
                                     "inject=openat:error=EACCES"}),
              1);
    const std::string out = readBytes(launcher.string() + ".strace.out");
    EXPECT_NE(out.find("driver: done Failed | cannot lock " + lock.string() + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(test::readFiles(launcher / "game"), before);
    EXPECT_FALSE(fs::exists(launcher / ".staging"));
    EXPECT_EQ(followUp(launcher, "v2", kV2), "");
}

TEST_F(DriverUpdate, ALockFileThatCannotBeOpenedOnceIsTakenAllTheSame) {
    // The first open of the lock file is refused: the run takes the lock by its second open.
    const fs::path launcher = installV1("lock-once");
    // Its exit code says little: a sanitizer's leak check cannot run under strace.
    updateUnder(launcher, {"-o", "/dev/null", "-P", (launcher / kRunLock).string(), "-e",
                           "inject=openat:error=EACCES:when=1"});
    const std::string out = readBytes(launcher.string() + ".strace.out");
    EXPECT_NE(out.find("driver: done UpToDate | Up to date"), std::string::npos) << out;
    EXPECT_EQ(test::readFiles(launcher / "game"), withPlayerFile(kV2));
}

TEST_F(DriverUpdate, ADiskThatCannotKeepTheDownloadsFailsTheUpdateBeforeAnythingIsPlaced) {
    // The first sync of an update is that of the staged objects; the disk reports that their
    // bytes are lost. Nothing of v1 may change, and the next run fetches them again.
    const fs::path launcher = installV1("lost-sync");
    const Files before = test::readFiles(launcher / "game");
    EXPECT_EQ(updateUnder(launcher, {"-o", "/dev/null", "-e", "inject=fsync:error=EIO:when=1"}), 1);
    const std::string out = readBytes(launcher.string() + ".strace.out");
    EXPECT_NE(out.find("driver: done Failed | cannot write to " + (launcher / ".staging").string() +
                       " (is the disk full?)"),
              std::string::npos)
        << out;
    EXPECT_EQ(test::readFiles(launcher / "game"), before);
    EXPECT_FALSE(fs::exists(launcher / "game" / kInstallingRecord));
    EXPECT_EQ(followUp(launcher, "v2", kV2), "");
}

TEST_F(DriverUpdate, AGameFolderOnAnotherFileSystemIsUpdatedInPlace) {
    // The player keeps the game on another drive and links it into the launcher folder; no
    // downloaded object can be renamed there.
    const fs::path elsewhere = fs::path("/dev/shm") / tmp.path().filename();
    std::error_code ec;
    fs::create_directories(elsewhere, ec);
    struct stat here {};
    struct stat there {};
    if (ec || stat(tmp.path().c_str(), &here) != 0 || stat(elsewhere.c_str(), &there) != 0 ||
        here.st_dev == there.st_dev) {
        fs::remove_all(elsewhere, ec);
        SKIP_WITHOUT_SETUP("no second file system at /dev/shm");
    }
    const fs::path launcher = tmp.path() / "linked";
    fs::create_directories(launcher);
    fs::create_hard_link(test::buildTool("updater_driver"), launcher / "updater_driver");
    fs::create_directory_symlink(elsewhere, launcher / "game");
    const fs::path out = tmp.path() / "linked-v1.out";
    EXPECT_EQ(test::runProgram(driver(launcher, "v1", "check,update,verify"), out), 0)
        << readBytes(out);
    EXPECT_EQ(test::readFiles(elsewhere), kV1);
    test::writeBytes(elsewhere / kPlayerFile, "the player's own\n");
    EXPECT_EQ(followUp(launcher, "v2", kV2), "");
    EXPECT_TRUE(fs::is_symlink(launcher / "game"));
    fs::remove_all(elsewhere, ec);
}

} // namespace
} // namespace qv::launcher
