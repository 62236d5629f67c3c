// The Updater object itself: its state after construction, channel and key selection with the
// news caches, the one-run-at-a-time gate, cancellation by the destructor, and the small text
// helpers of the update client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "release_fixture.h"
#include "update/signed_text.h"

namespace qv::launcher {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;
namespace fs = std::filesystem;

// Accepts connections on 127.0.0.1 and holds them open without answering.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            std::vector<int> held;
            while (!stop_.load()) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 20) == 1) {
                    const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        held.push_back(c);
                        accepted_.fetch_add(1);
                    }
                }
            }
            for (int c : held)
                close(c);
        });
    }
    ~SilentServer() {
        stop_.store(true);
        thread_.join();
        close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int accepted() const { return accepted_.load(); }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

class UpdaterObject : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(generateKeyPair(secret, pub));
        launcher = tmp.path() / "launcher";
        fs::create_directories(launcher);
    }
    void cacheNews(const char* name, const std::string& body) {
        writeBytes(launcher / name, signText(body, secret));
    }

    TempDir tmp;
    fs::path launcher;
    std::uint8_t secret[64];
    std::uint8_t pub[32];
};

TEST_F(UpdaterObject, StartsCheckingWithTheCachedLiveNews) {
    cacheNews(".news", "# Live news\n");
    cacheNews(".news-testing", "# Testing news\n");
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    const Updater::Snapshot s = updater.snapshot();
    EXPECT_EQ(s.phase, Updater::Checking);
    EXPECT_EQ(s.progress, -1.0);
    EXPECT_EQ(s.channel, Updater::Live);
    EXPECT_EQ(s.keyState, Updater::NoKey);
    EXPECT_EQ(s.statusText, "");
    EXPECT_EQ(s.installedVersion, "");
    EXPECT_EQ(s.latestVersion, "");
    EXPECT_EQ(s.bytesToDownload, 0u);
    EXPECT_FALSE(s.gamePresent);
    EXPECT_EQ(s.news, "# Live news\n");
    EXPECT_FALSE(updater.busy.load());
    EXPECT_EQ(updater.gameDir(), launcher / "game");
}

TEST_F(UpdaterObject, NewsCacheWithAlteredSignatureIsIgnored) {
    std::string text = signText("# Live news\n", secret);
    text[text.size() - 3] = text[text.size() - 3] == 'a' ? 'b' : 'a';
    writeBytes(launcher / ".news", text);
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    EXPECT_EQ(updater.snapshot().news, "");
}

TEST_F(UpdaterObject, ANewsCacheThatIsNoSmallRegularFileIsNotRead) {
    // A pipe would hold the reader (here the front end) for ever, a huge sparse file would take
    // its size in memory; neither can be a signed text.
    ASSERT_EQ(mkfifo((launcher / ".news").c_str(), 0600), 0);
    std::ofstream(launcher / ".news-testing").close();
    fs::resize_file(launcher / ".news-testing", std::uint64_t{2} << 30);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    auto made = std::async(std::launch::async, [&] {
        Updater updater(launcher, "http://127.0.0.1:9/", pub);
        updater.setChannel(Updater::Testing, "key");
        return updater.snapshot().news;
    });
    if (made.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // Let the blocked open go, so that the test can end.
        const int writer = open((launcher / ".news").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        close(writer);
        FAIL() << "the pipe held the reader";
    }
    EXPECT_EQ(made.get(), "");
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256L << 10) << "KiB more at the peak";
}

TEST_F(UpdaterObject, SetChannelPicksChannelKeyStateAndNews) {
    cacheNews(".news", "live\n");
    cacheNews(".news-testing", "testing\n");
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    struct Case {
        std::int32_t channel;
        const char* key;
        std::int32_t wantChannel;
        std::int32_t wantKeyState;
        const char* wantNews;
    };
    const Case cases[] = {
        {Updater::Testing, "", Updater::Live, Updater::NoKey, "live\n"}, // no key, no Testing
        {Updater::Live, "k1", Updater::Live, Updater::KeyUnchecked, "live\n"},
        {Updater::Testing, "k1", Updater::Testing, Updater::KeyUnchecked, "testing\n"},
        {Updater::Testing, "", Updater::Live, Updater::NoKey, "live\n"},
        {7, "k2", Updater::Live, Updater::KeyUnchecked, "live\n"}, // no such channel: Live
    };
    for (const Case& c : cases) {
        updater.haveManifest.store(true);
        updater.setChannel(c.channel, c.key);
        const Updater::Snapshot s = updater.snapshot();
        EXPECT_EQ(s.channel, c.wantChannel) << c.key;
        EXPECT_EQ(updater.channel, c.wantChannel);
        EXPECT_EQ(updater.testerKey, c.key);
        EXPECT_EQ(s.keyState, c.wantKeyState) << c.key;
        EXPECT_EQ(s.news, c.wantNews);
        EXPECT_FALSE(updater.haveManifest.load());
        EXPECT_EQ(s.phase, Updater::Checking); // only runs change the phase
    }
}

TEST_F(UpdaterObject, AnAnswerOnTheKeyStaysUntilTheServerAnswersAgain) {
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    updater.setChannel(Updater::Testing, "first");
    {
        std::lock_guard<std::mutex> lock(updater.mutex);
        updater.state.keyState = Updater::KeyRefused;
    }
    updater.setChannel(Updater::Testing, "second");
    EXPECT_EQ(updater.snapshot().keyState, Updater::KeyRefused);
    updater.setChannel(Updater::Live, "");
    EXPECT_EQ(updater.snapshot().keyState, Updater::NoKey);
}

TEST_F(UpdaterObject, SwitchingToAChannelWithoutCacheEmptiesTheNews) {
    cacheNews(".news", "live\n");
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    updater.setChannel(Updater::Testing, "key");
    EXPECT_EQ(updater.snapshot().news, "");
}

TEST_F(UpdaterObject, OneRunAtATimeAndTheDestructorCancelsIt) {
    SilentServer server;
    auto updater = std::make_unique<Updater>(launcher, server.url(), pub);
    updater->check(false);
    updater->check(false); // dropped: the first run still waits for the news
    updater->update(true); // dropped as well
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.accepted() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.accepted(), 1);
    EXPECT_TRUE(updater->busy.load());
    const Updater::Snapshot s = updater->snapshot();
    EXPECT_EQ(s.phase, Updater::Checking);
    EXPECT_EQ(s.statusText, "Looking for updates");

    // The silent server would hold the request for 20 s; the destructor must not wait for that.
    const auto before = std::chrono::steady_clock::now();
    updater.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST_F(UpdaterObject, BusyClearsAfterAFailedRunAndTheNextRunStarts) {
    // Port 9 on loopback: nothing listens, so every connection is refused at once.
    Updater updater(launcher, "http://127.0.0.1:9/", pub);
    for (int i = 0; i < 3; ++i) {
        updater.check(false);
        ASSERT_TRUE(test::waitIdle(updater, 30));
        const Updater::Snapshot s = updater.snapshot();
        EXPECT_EQ(s.phase, Updater::Failed);
        EXPECT_EQ(s.statusText.rfind("cannot reach the update server (", 0), 0u) << s.statusText;
        EXPECT_EQ(s.progress, -1.0);
    }
    updater.update(false); // no manifest held: goes on line and fails the same way
    ASSERT_TRUE(test::waitIdle(updater, 30));
    EXPECT_EQ(updater.snapshot().phase, Updater::Failed);
}

TEST(UpdaterText, FormatSize) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 bytes"},
        {1, "1 bytes"},
        {1023, "1023 bytes"},
        {1024, "1 KB"},
        {1535, "1 KB"},
        {1536, "2 KB"},
        {1048575, "1024 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {5368709120ull, "5.0 GB"},
    };
    for (const auto& [n, text] : cases)
        EXPECT_EQ(formatSize(n), text) << n;
}

TEST(UpdaterText, JoinUrl) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"http://box/", "news.txt", "http://box/news.txt"},
        {"http://box", "news.txt", "http://box/news.txt"},
        {"http://box/releases", "objects/ab", "http://box/releases/objects/ab"},
        {"", "news.txt", "/news.txt"},
        {"http://box//", "x", "http://box//x"},
        {"http://box/", "/x", "http://box//x"},
    };
    for (const auto& [base, path, want] : cases)
        EXPECT_EQ(joinUrl(base, path), want);
}

TEST(UpdaterText, ReadFileWholeAndBinary) {
    TempDir tmp;
    std::string out = "old";
    EXPECT_FALSE(readFile(tmp.path() / "absent", out));
    const std::string bytes = std::string("a\r\nb\0c", 6) + test::randomBytes(200000, 7);
    writeBytes(tmp.path() / "f", bytes);
    ASSERT_TRUE(readFile(tmp.path() / "f", out));
    EXPECT_EQ(out, bytes);
    writeBytes(tmp.path() / "empty", "");
    ASSERT_TRUE(readFile(tmp.path() / "empty", out));
    EXPECT_EQ(out, "");
}

} // namespace
} // namespace qv::launcher
