// What may happen while a run waits for the server: the player switches the channel (whatever
// the run then learns belongs to the channel left and must not outlive the switch), or a second
// launcher starts on the same folder. A server that serves the release folder holds one chosen
// answer back until the test has done its part.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "../scripted_server.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::checkAndWait;
using test::Files;
using test::readBytes;
using test::updateAndWait;
using testing::ScriptedServer;
namespace fs = std::filesystem;

// Serves the files of a release folder as the update server does ("testing/" only with the
// right key) and holds the answer to one path until released.
class HoldingServer {
  public:
    explicit HoldingServer(fs::path root)
        : root_(std::move(root)),
          server_([this](const std::string& request) { return answer(request); }) {}
    ~HoldingServer() { release(); }

    std::string url() const { return server_.url(); }

    void hold(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        heldPath_ = path;
        held_ = false;
        released_ = false;
    }
    // Waits until the held request has come in.
    bool waitHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return held_; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::vector<ScriptedServer::Step> answer(const std::string& request) {
        const std::size_t start = request.find(' ') + 2;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (path == heldPath_ && !released_) {
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            }
        }
        const bool keyed = request.find("\r\nX-Corvanthe-Key: sesame\r\n") != std::string::npos;
        if (path.rfind("testing/", 0) == 0 && !keyed) return {reply("403 Forbidden", "")};
        if (!fs::is_regular_file(root_ / path)) return {reply("404 Not Found", "")};
        return {reply("200 OK", readBytes(root_ / path))};
    }
    static ScriptedServer::Step reply(const std::string& status, const std::string& body) {
        return ScriptedServer::send("HTTP/1.1 " + status + "\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    fs::path root_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string heldPath_;
    bool held_ = false;
    bool released_ = false;
    ScriptedServer server_;
};

const Files kLive = {{"corvanthe.exe", "live build\n"}, {"live.txt", "live\n"}};
const Files kTesting = {{"corvanthe.exe", "testing build\n"}, {"beta.txt", "beta\n"}};

class ChannelSwitch : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        ASSERT_TRUE(site->publish(kLive, "live-1"));
        test::writeBytes(tmp.path() / "beta-news.txt", "# Playtest\n");
        ASSERT_TRUE(site->publish(
            kTesting, "test-1", {"--testing", "--news", (tmp.path() / "beta-news.txt").string()}));
        server = std::make_unique<HoldingServer>(site->site());
        updater =
            std::make_unique<Updater>(tmp.path() / "launcher", server->url(), site->publicKey());
    }
    void TearDown() override {
        server->release();
        updater.reset();
    }

    // Starts a check on the channel and switches to the other one while the answer to the held
    // path is on its way; returns once the run has ended.
    Updater::Snapshot switchDuring(const std::string& heldPath, Updater::Channel to,
                                   const std::string& key) {
        server->hold(heldPath);
        updater->check(false);
        EXPECT_TRUE(server->waitHeld());
        updater->setChannel(to, key);
        server->release();
        EXPECT_TRUE(test::waitIdle(*updater));
        return updater->snapshot();
    }

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<HoldingServer> server;
    std::unique_ptr<Updater> updater;
};

TEST_F(ChannelSwitch, TheLeftChannelsManifestIsNeverInstalled) {
    updater->setChannel(Updater::Testing, "sesame");
    const Updater::Snapshot s = switchDuring("testing/manifest-win64.txt", Updater::Live, "");
    EXPECT_EQ(s.channel, Updater::Live);
    EXPECT_EQ(s.latestVersion, "live-1");
    EXPECT_EQ(s.phase, Updater::NotInstalled);

    EXPECT_EQ(updateAndWait(*updater).phase, Updater::UpToDate);
    EXPECT_EQ(test::readFiles(updater->gameDir()), kLive);
    EXPECT_EQ(readBytes(updater->gameDir() / ".installed"), site->manifestText());
}

TEST_F(ChannelSwitch, TheLeftChannelsNewsIsNotShown) {
    updater->setChannel(Updater::Testing, "sesame");
    ASSERT_EQ(checkAndWait(*updater).news, "# Playtest\n"); // now cached for Testing
    updater->setChannel(Updater::Live, "");
    const Updater::Snapshot s = switchDuring("news.txt", Updater::Testing, "sesame");
    EXPECT_EQ(s.channel, Updater::Testing);
    EXPECT_EQ(s.news, "# Playtest\n");
    EXPECT_EQ(s.latestVersion, "test-1");
}

TEST_F(ChannelSwitch, ARefusalOfTheReplacedKeyDoesNotSendTheNewKeyToLive) {
    updater->setChannel(Updater::Testing, "wrong");
    const Updater::Snapshot s =
        switchDuring("testing/manifest-win64.txt", Updater::Testing, "sesame");
    EXPECT_EQ(s.channel, Updater::Testing);
    EXPECT_EQ(s.keyState, Updater::KeyAccepted);
    EXPECT_EQ(s.latestVersion, "test-1");
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_NE(s.statusText, "Playtester key not accepted; showing Live");
}

using SecondLauncher = ChannelSwitch;

TEST_F(SecondLauncher, ItsRunEndsAtOnceAndChangesNothingWhileTheFirstRuns) {
    const fs::path folder = tmp.path() / "launcher";
    server->hold("manifest-win64.txt");
    updater->check(false);
    ASSERT_TRUE(server->waitHeld());
    const Files before = test::readFiles(folder);
    Updater second(folder, server->url(), site->publicKey());
    Updater::Snapshot s = checkAndWait(second);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "another Corvanthe launcher is updating this folder");
    s = updateAndWait(second);
    EXPECT_EQ(s.statusText, "another Corvanthe launcher is updating this folder");
    EXPECT_EQ(test::readFiles(folder), before);

    server->release();
    ASSERT_TRUE(test::waitIdle(*updater));
    EXPECT_EQ(updater->snapshot().phase, Updater::NotInstalled);
    // The folder is free again once the first run has ended.
    EXPECT_EQ(updateAndWait(second).phase, Updater::UpToDate);
    EXPECT_EQ(test::readFiles(second.gameDir()), kLive);
}

TEST_F(SecondLauncher, WhateverStandsAtTheLockFileTheLockIsTakenAndHeld) {
    // ".lock" is the launcher's own file: a link there (to nothing, or to a file of someone
    // else's) and a folder are replaced by the file, never followed, so the two launchers
    // still meet at one lock.
    const fs::path folder = tmp.path() / "launcher";
    const fs::path lock = folder / kRunLock;
    const fs::path outside = tmp.path() / "outside.txt";
    const std::function<void()> plant[] = {
        [&] { fs::create_symlink(tmp.path() / "nothing-here", lock); },
        [&] { fs::create_symlink(outside, lock); },
        [&] { fs::create_directory(lock); },
        [&] {
            fs::create_directories(lock / "inner");
            test::writeBytes(lock / "inner" / "file", "x");
        },
    };
    for (std::size_t i = 0; i < std::size(plant); ++i) {
        SCOPED_TRACE(i);
        test::writeBytes(outside, "someone else's\n");
        fs::create_directories(folder);
        fs::remove_all(lock);
        plant[i]();
        server->hold("manifest-win64.txt");
        updater->check(false);
        ASSERT_TRUE(server->waitHeld());
        Updater second(folder, server->url(), site->publicKey());
        const Updater::Snapshot s = checkAndWait(second);
        EXPECT_EQ(s.statusText, "another Corvanthe launcher is updating this folder");
        server->release();
        ASSERT_TRUE(test::waitIdle(*updater));
        EXPECT_EQ(updater->snapshot().phase, Updater::NotInstalled);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock)));
        EXPECT_EQ(readBytes(outside), "someone else's\n");
    }
}

} // namespace
} // namespace qv::launcher
