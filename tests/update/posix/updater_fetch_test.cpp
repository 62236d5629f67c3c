// Fetching signed texts and objects from a real nginx: the key's answers, what is cached and
// kept, the size limit of an object and the progress share of its download.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <memory>

#include "../scripted_server.h"
#include "nginx.h"
#include "release_fixture.h"

namespace qv::launcher {
namespace {

using test::checkAndWait;
using test::randomBytes;
using test::readBytes;
using test::updateAndWait;
using test::writeBytes;
namespace fs = std::filesystem;

class Fetch : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        ASSERT_TRUE(site->publish({{"corvanthe.exe", "game\n"}}, "1.0"));
        ASSERT_TRUE(site->publish({{"corvanthe.exe", "beta\n"}}, "2.0", {"--testing"}));
        server = std::make_unique<test::Nginx>(site->site(), tmp.path() / "nginx", "sesame");
        ASSERT_TRUE(server->start());
        fs::create_directories(tmp.path() / "launcher");
        updater =
            std::make_unique<Updater>(tmp.path() / "launcher", server->url(), site->publicKey());
        log = std::make_unique<test::LogCapture>(tmp.path() / "logs");
    }
    void TearDown() override {
        updater.reset();
        log.reset();
        server.reset();
    }
    std::int32_t keyState() const { return updater->snapshot().keyState; }

    // An object on the server for the content, packed by zlib; the entry as a manifest lists it.
    Entry serveObject(const std::string& content) {
        Entry e;
        e.hash = hashHex(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
        e.size = content.size();
        uLongf length = compressBound(content.size());
        std::string packed(length, '\0');
        compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                  reinterpret_cast<const Bytef*>(content.data()), content.size(), 1);
        packed.resize(length);
        e.packedSize = packed.size();
        writeBytes(site->site() / "objects" / e.hash, packed);
        return e;
    }

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
    std::unique_ptr<test::LogCapture> log;
    std::unique_ptr<Updater> updater;
};

TEST_F(Fetch, SignedTextsOfEachChannelAndWhatTheyLeaveBehind) {
    std::string body;
    std::string error;
    ASSERT_TRUE(updater->fetchSigned("manifest-win64.txt", body, error)) << error;
    EXPECT_EQ(updater->rawManifest, site->manifestText());
    EXPECT_EQ(body.rfind("corvanthe-manifest 1\n", 0), 0u);
    EXPECT_EQ(keyState(), Updater::NoKey); // Live says nothing about a key

    updater->setChannel(Updater::Testing, "sesame");
    ASSERT_TRUE(updater->fetchSigned("news.txt", body, error)) << error;
    EXPECT_EQ(body, "# Corvanthe 2.0\n");
    EXPECT_EQ(readBytes(tmp.path() / "launcher/.news-testing"),
              readBytes(site->site() / "testing/news.txt"));
    EXPECT_FALSE(fs::exists(tmp.path() / "launcher/.news"));
    EXPECT_EQ(keyState(), Updater::KeyAccepted);

    // The key got through but the text is not the release's: the key stays accepted, nothing
    // is cached and the held manifest text stays.
    const std::string heldManifest = updater->rawManifest;
    std::string tampered = site->manifestText(true);
    tampered.replace(tampered.find("2.0"), 3, "2.1");
    writeBytes(site->site() / "testing/manifest-win64.txt", tampered);
    EXPECT_FALSE(updater->fetchSigned("manifest-win64.txt", body, error));
    EXPECT_EQ(error, "manifest-win64.txt is not signed by the Corvanthe release key");
    EXPECT_EQ(keyState(), Updater::KeyAccepted);
    EXPECT_EQ(updater->rawManifest, heldManifest);

    updater->setChannel(Updater::Testing, "wrong");
    EXPECT_FALSE(updater->fetchSigned("news.txt", body, error));
    EXPECT_EQ(error, "playtester key not accepted");
    EXPECT_EQ(keyState(), Updater::KeyRefused);
    EXPECT_EQ(readBytes(tmp.path() / "launcher/.news-testing"),
              readBytes(site->site() / "testing/news.txt"));
}

TEST_F(Fetch, ASignedTextThatTricklesInEndsTheCheckAtTheDeadline) {
    using S = testing::ScriptedServer;
    std::vector<S::Step> trickle{S::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")};
    for (int i = 0; i < 100; ++i) {
        trickle.push_back(S::pause(100));
        trickle.push_back(S::send("x"));
    }
    S slow(trickle);
    Updater u(tmp.path() / "launcher", slow.url(), site->publicKey());
    u.signedTextDeadline = std::chrono::milliseconds(500);
    const Updater::Snapshot s = test::checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "cannot reach the update server (timed out)");
    EXPECT_TRUE(log->has("launcher: news: cannot reach the update server (timed out)"));
}

TEST_F(Fetch, TheDeadlineOfASignedTextGrowsOnlyWithWhatArrives) {
    // The time allowed is the fixed deadline plus what has arrived at 16 KiB/s; the announced
    // length earns nothing. With one second fixed, 16 KiB that came at once and then a drip end
    // after two seconds, though 48 KiB were announced.
    using S = testing::ScriptedServer;
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 49152\r\n\r\n";
    std::vector<S::Step> honest{S::send(header)}; // 32 KiB/s, done after 1.5 s
    for (int i = 0; i < 12; ++i) {
        honest.push_back(S::pause(125));
        honest.push_back(S::send(std::string(4096, 'x')));
    }
    std::vector<S::Step> drip{S::send(header), S::send(std::string(16384, 'x'))};
    for (int i = 0; i < 100; ++i) {
        drip.push_back(S::pause(100));
        drip.push_back(S::send("x"));
    }
    std::vector<S::Step> shortAndLate{S::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")};
    for (int i = 0; i < 10; ++i) {
        shortAndLate.push_back(S::pause(150));
        shortAndLate.push_back(S::send("x"));
    }
    const struct {
        const char* name;
        std::vector<S::Step> script;
        std::string error;
        double atLeastSeconds;
        double atMostSeconds;
    } cases[] = {
        {"honest", honest, "news.txt is not signed by the Corvanthe release key", 1.5, 10.0},
        {"drip", drip, "cannot reach the update server (timed out)", 1.9, 3.5},
        {"short and late", shortAndLate, "cannot reach the update server (timed out)", 1.0, 1.8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        S server(c.script);
        Updater u(tmp.path() / "launcher", server.url(), site->publicKey());
        u.signedTextDeadline = std::chrono::milliseconds(1000);
        const auto started = std::chrono::steady_clock::now();
        std::string body;
        std::string error;
        EXPECT_FALSE(u.fetchSigned("news.txt", body, error));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(error, c.error);
        EXPECT_GE(took.count(), c.atLeastSeconds);
        EXPECT_LE(took.count(), c.atMostSeconds);
    }
}

TEST_F(Fetch, ADripUnderTheLargestLengthIsCutAtAboutAMinute) {
    // The launcher's own limits: a byte every 15 s never meets the silence limit, and the 4 MiB
    // it announces must not buy the minutes it would take to send them.
    using S = testing::ScriptedServer;
    std::vector<S::Step> drip{S::send("HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n")};
    for (int i = 0; i < 8; ++i) {
        drip.push_back(S::pause(15000));
        drip.push_back(S::send("x"));
    }
    S server(drip);
    Updater u(tmp.path() / "launcher", server.url(), site->publicKey());
    const auto started = std::chrono::steady_clock::now();
    std::string body;
    std::string error;
    EXPECT_FALSE(u.fetchSigned("manifest-win64.txt", body, error));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(error, "cannot reach the update server (timed out)");
    EXPECT_GE(took.count(), 60.0);
    EXPECT_LE(took.count(), 70.0);
}

// How a scripted server ends the body of a signed text.
enum class Framing { Length, Chunked, Close };

// Serves the files of the site folder: the signed texts in the framing, objects with their
// length, a 404 for anything else; the connection closes after each reply.
testing::ScriptedServer::Responder serveSite(const fs::path& site, Framing framing) {
    return [site, framing](const std::string& request) {
        using S = testing::ScriptedServer;
        const std::size_t start = request.find(' ') + 2;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        if (!fs::is_regular_file(site / path))
            return std::vector<S::Step>{S::send("HTTP/1.1 404 No\r\n\r\n")};
        const std::string content = readBytes(site / path);
        const std::string ok = "HTTP/1.1 200 OK\r\n";
        const bool signedText = path.find('/') == std::string::npos;
        if (!signedText || framing == Framing::Length) {
            return std::vector<S::Step>{S::send(
                ok + "Content-Length: " + std::to_string(content.size()) + "\r\n\r\n" + content)};
        }
        if (framing == Framing::Close) return std::vector<S::Step>{S::send(ok + "\r\n" + content)};
        std::string chunks = ok + "Transfer-Encoding: chunked\r\n\r\n";
        char line[32];
        for (std::size_t at = 0; at < content.size(); at += 65536) {
            const std::string part = content.substr(at, 65536);
            std::snprintf(line, sizeof line, "%zx\r\n", part.size());
            chunks += line + part + "\r\n";
        }
        return std::vector<S::Step>{S::send(chunks + "0\r\n\r\n")};
    };
}

// The body padded with lines of filler (which a manifest ignores as lines it does not know)
// until its signed text is exactly size bytes.
std::string signedTextOfSize(const test::ReleaseSite& site, std::string body, std::size_t size) {
    const std::size_t wanted = size - (site.sign("").size());
    while (body.size() < wanted) {
        const std::size_t line = std::min<std::size_t>(100, wanted - body.size());
        body += std::string(line - 1, 'p') + "\n";
    }
    return site.sign(body);
}

TEST_F(Fetch, ASignedTextIsAcceptedOnlyWhenItsRecordCanBeReadBack) {
    // Records and caches are read back only up to the limit of a signed text, so no framing of
    // the reply may let a longer one in: it would be installed and cached, then never read.
    std::string manifestBody;
    ASSERT_TRUE(verifySigned(site->manifestText(), site->publicKey(), manifestBody));
    const struct {
        const char* name;
        Framing framing;
    } framings[] = {
        {"length", Framing::Length}, {"chunked", Framing::Chunked}, {"close", Framing::Close}};
    for (const std::size_t size : {kSignedTextLimit, kSignedTextLimit + 1}) {
        const std::string manifest = signedTextOfSize(*site, manifestBody, size);
        const std::string news = signedTextOfSize(*site, "# Corvanthe 1.0\n", size);
        ASSERT_EQ(manifest.size(), size);
        ASSERT_EQ(news.size(), size);
        writeBytes(site->site() / "manifest-win64.txt", manifest);
        writeBytes(site->site() / "news.txt", news);
        for (const auto& f : framings) {
            SCOPED_TRACE(std::string(f.name) + ", " + std::to_string(size) + " bytes");
            const fs::path folder = tmp.path() / ("launcher-" + std::to_string(size) + f.name);
            fs::create_directories(folder);
            std::string url;
            {
                testing::ScriptedServer scripted(serveSite(site->site(), f.framing));
                url = scripted.url();
                Updater u(folder, url, site->publicKey());
                checkAndWait(u);
                const Updater::Snapshot s = updateAndWait(u);
                if (size > kSignedTextLimit) {
                    EXPECT_EQ(s.phase, Updater::Failed);
                    EXPECT_EQ(s.statusText, "file larger than expected");
                    EXPECT_TRUE(log->has("launcher: news: file larger than expected"));
                    EXPECT_FALSE(fs::exists(folder / ".news"));
                    EXPECT_FALSE(fs::exists(folder / ".staging"));
                    EXPECT_FALSE(fs::exists(folder / "game"));
                    continue;
                }
                EXPECT_EQ(s.phase, Updater::UpToDate) << s.statusText;
                EXPECT_EQ(readBytes(folder / "game" / kInstalledRecord), manifest);
                EXPECT_EQ(readBytes(folder / ".news"), news);
            }
            // Read back by the next start, with the server gone.
            Updater next(folder, url, site->publicKey());
            EXPECT_EQ(next.snapshot().news, news.substr(0, news.rfind("signature ")));
            const Updater::Snapshot s = checkAndWait(next);
            EXPECT_EQ(s.phase, Updater::Offline);
            EXPECT_EQ(s.statusText, "Offline: playing what is installed");
            EXPECT_TRUE(s.gamePresent);
        }
    }
}

TEST_F(Fetch, A403OnLiveIsAnOrdinaryFailure) {
    fs::create_directories(site->site() / "private"); // a folder without index: nginx says 403
    updater->setChannel(Updater::Live, "some key");
    std::string body;
    std::string error;
    EXPECT_FALSE(updater->fetchSigned("private/", body, error));
    EXPECT_EQ(error, "the update server said 403");
    EXPECT_EQ(keyState(), Updater::KeyUnchecked);
    const auto asked = server->requests();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back().key, "-");
}

TEST_F(Fetch, ObjectProgressNeverPassesTheObjectsShare) {
    const std::string content = randomBytes(300000, 21); // incompressible
    Entry e = serveObject(content);
    std::vector<std::uint8_t> out;
    std::string error;

    // A manifest that understates the packed size by less than the slack still downloads, but
    // its progress counts no more than the packed size.
    e.packedSize -= 1000;
    ASSERT_TRUE(updater->fetchObject(e, out, 500, e.packedSize + 500, error)) << error;
    EXPECT_EQ(std::string(out.begin(), out.end()), content);
    EXPECT_EQ(updater->snapshot().progress, 1.0);

    ASSERT_TRUE(updater->fetchObject(e, out, 0, 0, error));
    EXPECT_EQ(updater->snapshot().progress, -1.0);

    // More than 1024 bytes beyond: refused by the size limit, on every attempt.
    e.packedSize -= 100;
    EXPECT_FALSE(updater->fetchObject(e, out, 0, e.packedSize, error));
    EXPECT_EQ(error, "file larger than expected");
    EXPECT_EQ(server->requestsFor("/objects/" + e.hash).size(), 5u);
    EXPECT_TRUE(log->has(", attempt 3: file larger than expected"));
}

TEST_F(Fetch, AMissingObjectFailsThreeTimesWithTheLastMessage) {
    Entry e;
    e.hash = std::string(64, 'a');
    e.size = 10;
    e.packedSize = 20;
    std::vector<std::uint8_t> out;
    std::string error;
    EXPECT_FALSE(updater->fetchObject(e, out, 0, 20, error));
    EXPECT_EQ(error, "not on the update server: /objects/" + e.hash);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_TRUE(log->has("launcher: object " + e.hash + ", attempt " + std::to_string(attempt) +
                             ": not on the update server"));
    }
    EXPECT_EQ(log->count("launcher: object "), 3u);
}

} // namespace
} // namespace qv::launcher
