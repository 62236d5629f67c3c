// An install killed at a random moment must never leave the game folder in a state the next
// run cannot mend: the headless driver is killed with SIGKILL during installs and updates, and
// each time the next run ends "Up to date" and a verification finds every file correct.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "nginx.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::Files;
using test::randomBytes;
using test::readBytes;
using test::spawnProgram;
namespace fs = std::filesystem;

// Two releases that differ in about half their files, with shared contents in each.
Files releaseA() {
    Files files;
    std::mt19937 random(41);
    files["corvanthe.exe"] = randomBytes(150000, 1000);
    for (int i = 0; i < 40; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "data/part%02d.bin", i);
        files[name] =
            i % 8 == 7 ? files["corvanthe.exe"] : randomBytes(2000 + random() % 200000, 1000 + i);
    }
    return files;
}

Files releaseB() {
    Files files = releaseA();
    for (int i = 0; i < 40; i += 3) {
        char name[32];
        std::snprintf(name, sizeof name, "data/part%02d.bin", i);
        files[name] = randomBytes(files[name].size(), 5000 + i); // same size, other content
    }
    for (int i = 35; i < 40; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "data/part%02d.bin", i);
        files.erase(name);
    }
    for (int i = 0; i < 5; ++i)
        files["extra/new" + std::to_string(i) + ".bin"] = randomBytes(80000, 6000 + i);
    return files;
}

bool anyPartFile(const fs::path& folder) {
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.path().extension() == ".part") return true;
    }
    return false;
}

TEST(KilledInstall, EveryInterruptedInstallIsMendedByTheNextRun) {
    test::TempDir tmp;
    test::ReleaseSite site(tmp.path());
    ASSERT_TRUE(site.ok());
    const Files a = releaseA();
    const Files b = releaseB();
    ASSERT_TRUE(site.publish(a, "A"));
    fs::copy(site.site(), tmp.path() / "siteA", fs::copy_options::recursive);
    ASSERT_TRUE(site.publish(b, "B"));
    fs::copy(site.site(), tmp.path() / "siteB", fs::copy_options::recursive);

    const fs::path served = tmp.path() / "served";
    auto serve = [&](const char* which) {
        const fs::path next = tmp.path() / "served.next";
        fs::remove(next);
        fs::create_directory_symlink(tmp.path() / which, next);
        fs::rename(next, served);
    };
    serve("siteA");
    test::Nginx server(served, tmp.path() / "nginx", "sesame");
    ASSERT_TRUE(server.start());

    const fs::path launcher = tmp.path() / "launcher";
    const fs::path driver = launcher / "updater_driver";
    fs::create_directories(launcher);
    fs::copy_file(test::buildTool("updater_driver"), driver);
    const std::vector<std::string> base = {driver.string(), "--server",       server.url(),
                                           "--key",         site.publicHex(), "--no-self-update"};
    auto withSteps = [&](const char* steps) {
        std::vector<std::string> argv = base;
        argv.push_back("--steps");
        argv.push_back(steps);
        return argv;
    };

    // Starts the driver and returns once its run shows it is fetching or placing files (or it
    // ended first); the time from there is the window in which the kills fall.
    auto startAndWaitForWork = [&](const fs::path& output) {
        const pid_t pid = spawnProgram(withSteps("check,update"), output, /*append=*/false);
        for (;;) {
            if (readBytes(output).find("snapshot: Working") != std::string::npos) break;
            int status = 0;
            if (pid <= 0 || waitpid(pid, &status, WNOHANG) == pid) return pid_t(-1);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return pid;
    };

    const pid_t first = startAndWaitForWork(tmp.path() / "first.out");
    ASSERT_GT(first, 0) << readBytes(tmp.path() / "first.out");
    const auto started = std::chrono::steady_clock::now();
    int firstStatus = 0;
    waitpid(first, &firstStatus, 0);
    const auto workTime = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0)
        << readBytes(tmp.path() / "first.out");
    ASSERT_EQ(test::readFiles(launcher / "game"), a);

    std::mt19937_64 random(std::random_device{}());
    auto limit = std::chrono::duration_cast<std::chrono::microseconds>(workTime).count();
    // Kills go on until twenty of them have landed inside the work; a loaded machine makes some
    // land after it, so the number of rounds is bounded rather than fixed.
    int interruptedWhileWorking = 0;
    const int wantedInterruptions = 20;
    const int maxRounds = 150;
    int rounds = 0;
    for (int round = 0; round < maxRounds && interruptedWhileWorking < wantedInterruptions;
         ++round, ++rounds) {
        const bool toB = round % 2 == 0;
        serve(toB ? "siteB" : "siteA");
        if (round % 6 == 5) fs::remove_all(launcher / "game"); // now and then, from nothing

        const fs::path killedOut = tmp.path() / "killed.out";
        const pid_t pid = startAndWaitForWork(killedOut);
        const auto delay = static_cast<decltype(limit)>(random() % (limit + 1));
        if (pid > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
        const std::string killed = readBytes(killedOut);
        if (killed.find("snapshot: Working") != std::string::npos &&
            killed.find("driver: done") == std::string::npos) {
            ++interruptedWhileWorking;
        } else if (pid > 0) {
            // This run's work was over within the delay (an update has less of it than an
            // install from nothing, and the first install may have run on a busier machine):
            // later kills fall within such a span.
            limit = std::max<decltype(limit)>(delay, 1000);
        }

        const fs::path out = tmp.path() / ("round" + std::to_string(round) + ".out");
        ASSERT_EQ(test::runProgram(withSteps("check,update,verify"), out), 0)
            << "round " << round << "\n"
            << readBytes(out);
        const std::string text = readBytes(out);
        const std::size_t verifying = text.find("driver: step verify");
        ASSERT_NE(verifying, std::string::npos);
        EXPECT_NE(text.rfind("snapshot: UpToDate | Up to date |", verifying), std::string::npos)
            << text;
        EXPECT_NE(text.find("(0 files replaced)", verifying), std::string::npos)
            << text; // nothing to mend
        EXPECT_NE(text.find("driver: done UpToDate | Files verified"), std::string::npos) << text;
        EXPECT_EQ(test::readFiles(launcher / "game"), toB ? b : a) << "round " << round;
        EXPECT_FALSE(fs::exists(launcher / ".staging"));
        EXPECT_FALSE(anyPartFile(launcher));
        if (::testing::Test::HasFailure()) break;
    }
    std::printf("fetching and placing an install from nothing took %.0f ms; %d of %d kills landed "
                "inside that work\n",
                static_cast<double>(limit) / 1000.0, interruptedWhileWorking, rounds);
    EXPECT_GE(interruptedWhileWorking, wantedInterruptions);
}

} // namespace
} // namespace qv::launcher
