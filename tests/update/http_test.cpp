// The HTTP client against a scripted server on the loopback address: the
// request it sends, how it frames and limits replies, and every way a reply
// can fail.
#include "update/http.h"
#include "update/http_wire.h"

#include "scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace qv::launcher {
namespace {

using namespace std::string_literals;
using testing::ScriptedServer;
using Script = std::vector<ScriptedServer::Step>;

struct GetResult {
    bool ok = false;
    std::string body;
    std::string error;
    int status = 0;
    double seconds = 0;
};

// Runs one request with the body, error and status preset to leftovers, so
// that what the client writes (or must leave alone) shows.
GetResult get(const std::string& url, std::uint64_t maxSize = 1000,
              std::atomic<bool>* cancel = nullptr, const HttpProgress& progress = {},
              const std::vector<std::string>& extraHeaders = {}) {
    std::vector<std::uint8_t> body{'o', 'l', 'd'};
    GetResult result;
    result.error = "earlier";
    result.status = -7;
    const auto start = std::chrono::steady_clock::now();
    result.ok =
        httpGet(url, body, maxSize, progress, cancel, result.error, extraHeaders, &result.status);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.body.assign(body.begin(), body.end());
    return result;
}

// Every outcome must keep the client's promises: success leaves the error
// alone, failure always explains itself and never leaves a body behind.
void expectContract(const GetResult& r) {
    if (r.ok) {
        EXPECT_EQ(r.error, "earlier");
    } else {
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(r.body, "");
    }
}

std::string requestFor(const std::string& url, const std::vector<std::string>& extra = {}) {
    std::string host;
    std::string path;
    std::uint16_t port = 0;
    if (!parseUrl(url, host, port, path)) return "(bad)";
    return buildHttpRequest(host, port, path, extra);
}

const std::string kTail =
    "User-Agent: CorvantheLauncher\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n";

TEST(HttpUrl, SplitsHostPortAndPath) {
    struct Case {
        std::string url;
        bool ok;
        std::string host;
        std::uint16_t port;
        std::string path;
    };
    const Case cases[] = {
        {"http://box:8080/news.txt", true, "box", 8080, "/news.txt"},
        {"http://box", true, "box", 80, "/"},
        {"http://box/", true, "box", 80, "/"},
        {"http://box:/x", true, "box", 80, "/x"},
        {"http://box:0080/", true, "box", 80, "/"},
        {"http://box:08080/", true, "box", 8080, "/"},
        {"http://box/a/b?x=1&y=/z", true, "box", 80, "/a/b?x=1&y=/z"},
        {"http://10.0.0.1:65535/o", true, "10.0.0.1", 65535, "/o"},
        {"HTTP://box/", false, "", 0, ""},
        {"https://box/", false, "", 0, ""},
        {"ftp://box/", false, "", 0, ""},
        {"http://", false, "", 0, ""},
        {"http:/", false, "", 0, ""},
        {"", false, "", 0, ""},
        {"http:///path", false, "", 0, ""},
        {"http://:8080/", false, "", 0, ""},
        {"http://box:0/", false, "", 0, ""},
        {"http://box:65536/", false, "", 0, ""},
        {"http://box:80a/", false, "", 0, ""},
        {"http://box: 80/", false, "", 0, ""},
        // Control bytes would write lines of their own into the request.
        {"http://box/news.txt\r\nX-Injected: 1", false, "", 0, ""},
        {"http://box/a\nb", false, "", 0, ""},
        {"http://box/\tx", false, "", 0, ""},
        {"http://bo\x7Fx/", false, "", 0, ""},
        {"http://box\x01:80/", false, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::string host = "stale";
        std::string path = "stale";
        std::uint16_t port = 1;
        ASSERT_EQ(parseUrl(c.url, host, port, path), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
    }
}

TEST(HttpRequest, ExactBytes) {
    EXPECT_EQ(requestFor("http://box:8080/news.txt"),
              "GET /news.txt HTTP/1.1\r\nHost: box:8080\r\n" + kTail);
    // The host line is rebuilt from the port number, not copied from the URL.
    EXPECT_EQ(requestFor("http://box"), "GET / HTTP/1.1\r\nHost: box\r\n" + kTail);
    EXPECT_EQ(requestFor("http://box:80/a"), "GET /a HTTP/1.1\r\nHost: box\r\n" + kTail);
    EXPECT_EQ(requestFor("http://box:0080/"), "GET / HTTP/1.1\r\nHost: box\r\n" + kTail);
    EXPECT_EQ(requestFor("http://box:08080/"), "GET / HTTP/1.1\r\nHost: box:8080\r\n" + kTail);
    EXPECT_EQ(requestFor("http://box/q?a=1", {"X-Corvanthe-Key: k1", "X-Other: two words"}),
              "GET /q?a=1 HTTP/1.1\r\nHost: box\r\nUser-Agent: CorvantheLauncher\r\n"
              "Accept-Encoding: identity\r\nX-Corvanthe-Key: k1\r\nX-Other: two words\r\n"
              "Connection: close\r\n\r\n");
}

TEST(HttpRequest, SentOnTheWire) {
    ScriptedServer server({ScriptedServer::send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")});
    const GetResult r =
        get(server.url("/testing/news.txt"), 1000, nullptr, {}, {"X-Corvanthe-Key: abc"});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "ok");
    EXPECT_EQ(server.request(),
              "GET /testing/news.txt HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                  "\r\nUser-Agent: CorvantheLauncher\r\nAccept-Encoding: identity\r\n"
                  "X-Corvanthe-Key: abc\r\nConnection: close\r\n\r\n");
}

TEST(HttpRequest, BadAddressNeverConnects) {
    ScriptedServer server({ScriptedServer::hold()});
    const std::string port = std::to_string(server.port());
    for (const std::string& url :
         {"HTTP://127.0.0.1:" + port + "/", "ftp://127.0.0.1:" + port + "/", std::string("http://"),
          std::string("http://127.0.0.1:0/"), "http://:" + port + "/",
          "http://127.0.0.1:" + port + "/\r\nX-Injected: 1\r\n"}) {
        SCOPED_TRACE(url);
        const GetResult r = get(url);
        expectContract(r);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "bad address " + url);
        EXPECT_EQ(r.status, 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.connections(), 0);
}

TEST(HttpRequest, RefusedConnection) {
    std::string url;
    {
        ScriptedServer gone(Script{});
        url = gone.url("/news.txt");
    }
    const GetResult r = get(url);
    expectContract(r);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0);
    const std::string prefix = "cannot reach the update server (";
    ASSERT_GT(r.error.size(), prefix.size() + 1);
    EXPECT_EQ(r.error.substr(0, prefix.size()), prefix);
    EXPECT_EQ(r.error.back(), ')');
}

// Replies that the server sends whole and then closes (or, with pauses, in
// pieces). maxSize is 1000 throughout and the path /dir/file.txt.
TEST(HttpReply, FramingStatusAndErrors) {
    using S = ScriptedServer;
    struct Case {
        const char* name;
        Script script;
        bool ok;
        std::string bodyOrError;
        int status;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    // clang-format off
    const Case cases[] = {
        {"content length", {S::send(ok + "Content-Length: 5\r\n\r\nhello")}, true, "hello", 200},
        {"any case, many spaces, tab",
         {S::send(ok + "cOnTeNt-LeNgTh:     \t5\r\n\r\nhello")}, true, "hello", 200},
        {"space before colon is no header",
         {S::send(ok + "Content-Length : 2\r\n\r\nhello")}, true, "hello", 200},
        {"later length wins",
         {S::send(ok + "Content-Length: 9\r\nContent-Length: 3\r\n\r\nhel")}, true, "hel", 200},
        {"length without digits is zero",
         {S::send(ok + "Content-Length: none\r\n\r\n")}, true, "", 200},
        {"bytes past the length are dropped",
         {S::send(ok + "Content-Length: 5\r\n\r\nhello, and more")}, true, "hello", 200},
        {"header and body in pieces",
         {S::send("HTTP/1.1 200 OK\r\nContent-Le"), S::pause(150), S::send("ngth: 5\r\n\r"),
          S::pause(150), S::send("\nhel"), S::pause(150), S::send("lo")}, true, "hello", 200},
        {"any minor version",
         {S::send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx")}, true, "x", 200},
        {"unframed runs to the close",
         {S::send(ok + "Server: t\r\n\r\nall of "), S::pause(150), S::send("it")}, true,
         "all of it", 200},
        {"chunked", {S::send(chunked + "5\r\nhello\r\n0\r\n\r\n")}, true, "hello", 200},
        {"chunked among other codings",
         {S::send(ok + "Transfer-Encoding: gzip, CHUNKED\r\n\r\n5\r\nhello\r\n0\r\n\r\n")}, true,
         "hello", 200},
        {"chunked wins over a length",
         {S::send(ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "5\r\nhello\r\n0\r\n\r\n")}, true, "hello", 200},
        {"chunk extension", {S::send(chunked + "5;x=1\r\nhello\r\n0\r\n\r\n")}, true, "hello", 200},
        {"chunks in pieces",
         {S::send(chunked + "3\r\nhe"), S::pause(150), S::send("l\r\n2\r\nlo\r\n0\r\n")}, true,
         "hello", 200},
        {"last chunk missing", {S::send(chunked + "5\r\nhello\r\n")}, false,
         "download cut short", 200},
        {"chunk size without digits", {S::send(chunked + "zz\r\nhello\r\n0\r\n\r\n")}, false,
         "download cut short", 200},
        {"huge chunk size", {S::send(chunked + "fffffffffffffffe\r\nhello\r\n0\r\n\r\n")}, false,
         "download cut short", 200},
        {"body shorter than its length", {S::send(ok + "Content-Length: 10\r\n\r\nhello")}, false,
         "download cut short", 200},
        {"length equal to the limit",
         {S::send(ok + "Content-Length: 1000\r\n\r\n" + std::string(1000, 'b'))}, true,
         std::string(1000, 'b'), 200},
        {"length one above the limit", {S::send(ok + "Content-Length: 1001\r\n\r\n")}, false,
         "file larger than expected", 200},
        {"negative length", {S::send(ok + "Content-Length: -1\r\n\r\n")}, false,
         "file larger than expected", 200},
        {"404", {S::send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")}, false,
         "not on the update server: /dir/file.txt", 404},
        {"403", {S::send("HTTP/1.1 403 Forbidden\r\n\r\n")}, false,
         "the update server said 403", 403},
        {"redirects are not followed", {S::send("HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n")},
         false, "the update server said 301", 301},
        {"status without digits", {S::send("HTTP/1.1 OK\r\n\r\n")}, false,
         "the update server said 0", 0},
        {"negative status", {S::send("HTTP/1.1 -5 Odd\r\n\r\n")}, false,
         "the update server said -5", -5},
        {"HTTP/2", {S::send("HTTP/2 200 OK\r\n\r\n")}, false, "not an HTTP reply", 0},
        {"lower-case protocol", {S::send("http/1.1 200 OK\r\n\r\n")}, false,
         "not an HTTP reply", 0},
        {"header that is only its end", {S::send("\r\n\r\n")}, false, "not an HTTP reply", 0},
        {"closed inside the header", {S::send("HTTP/1.1 200 OK\r\nContent-")}, false,
         "the update server hung up", 0},
        {"closed without a byte", {}, false, "the update server hung up", 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        const GetResult r = get(server.url("/dir/file.txt"));
        expectContract(r);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(c.ok ? r.body : r.error, c.bodyOrError);
        EXPECT_EQ(r.status, c.status);
    }
}

// A reset after the last byte still ends an unframed body.
TEST(HttpReply, UnframedBodyEndedByReset) {
    // The request stays unread, so closing makes the system reset the connection.
    ScriptedServer server(
        {ScriptedServer::send("HTTP/1.1 200 OK\r\n\r\nuntil the end"), ScriptedServer::pause(300)},
        false);
    const GetResult r = get(server.url());
    expectContract(r);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "until the end");
}

// These replies decide the outcome while the server keeps the connection
// open: the client must neither wait for more nor for the idle limit, and it
// must close its end.
TEST(HttpReply, DecidedWithoutWaitingForTheServer) {
    struct Case {
        const char* name;
        std::string reply;
        bool ok;
        std::string bodyOrError;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const Case cases[] = {
        {"complete length", ok + "Content-Length: 5\r\n\r\nhello", true, "hello"},
        {"announced above the limit", ok + "Content-Length: 1001\r\n\r\n", false,
         "file larger than expected"},
        {"404", "HTTP/1.1 404 Not Found\r\n\r\n", false, "not on the update server: /f"},
        {"header too long", std::string(65537, 'h'), false, "reply header too long"},
        {"received one byte above the limit", ok + "\r\n" + std::string(1000 + 65537 - 19, 'u'),
         false, "file larger than expected"},
        {"unframed body one byte above the limit", ok + "\r\n" + std::string(1001, 'u'), false,
         "file larger than expected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({ScriptedServer::send(c.reply), ScriptedServer::hold()});
        const GetResult r = get(server.url("/f"));
        expectContract(r);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(c.ok ? r.body : r.error, c.bodyOrError);
        EXPECT_LT(r.seconds, 2.0);
        EXPECT_TRUE(server.waitClientClosed(2000));
    }
}

// The limits hold to the byte: the largest accepted reply next to the
// smallest refused one.
TEST(HttpReply, LimitsToTheByte) {
    const std::uint64_t maxSize = 1000;
    const std::size_t receiveLimit = maxSize + 65536;
    const std::string plain = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string lastChunks = "1\r\nx\r\n0\r\n\r\n";
    // A chunked reply of the given total size: leading zeros pad its size line.
    const auto chunkedOfSize = [&](std::size_t total) {
        return chunked + std::string(total - chunked.size() - lastChunks.size(), '0') + lastChunks;
    };
    struct Case {
        const char* name;
        std::string reply;
        bool ok;
        std::string bodyOrError;
        std::uint64_t maxSize = 1000;
    };
    const Case cases[] = {
        // The body is held to maxSize in every framing, as a length above it is.
        {"unframed at the limit", plain + std::string(1000, 'u'), true, std::string(1000, 'u')},
        {"unframed at the limit + 1", plain + std::string(1001, 'u'), false,
         "file larger than expected"},
        {"receive limit + 1", plain + std::string(receiveLimit + 1 - plain.size(), 'u'), false,
         "file larger than expected"},
        {"chunked body at the limit",
         chunked + "3e8\r\n" + std::string(1000, 'c') + "\r\n0\r\n\r\n", true,
         std::string(1000, 'c')},
        {"chunked body at the limit + 1",
         chunked + "3e8\r\n" + std::string(1000, 'c') + "\r\n1\r\nc\r\n0\r\n\r\n", false,
         "file larger than expected"},
        // Header and body together, chunk framing included, may take maxSize + 65536 bytes as
        // received.
        {"chunked at the limit", chunkedOfSize(receiveLimit), true, "x"},
        {"chunked at the limit + 1", chunkedOfSize(receiveLimit + 1), false,
         "file larger than expected"},
        {"65536 header bytes without a blank line", std::string(65536, 'h'), false,
         "the update server hung up"},
        {"header of 65536 bytes with its blank line",
         "HTTP/1.1 200 OK\r\nX: " + std::string(65536 - 24, 'v') + "\r\n\r\nbody", true, "body"},
        // A limit near the top of the range must not wrap round to a small one.
        {"largest limit", plain + std::string(70000, 'u'), true, std::string(70000, 'u'),
         UINT64_MAX},
        {"largest limit - 65536", plain + std::string(70000, 'u'), true, std::string(70000, 'u'),
         UINT64_MAX - 65536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({ScriptedServer::send(c.reply)});
        const GetResult r = get(server.url(), c.maxSize);
        expectContract(r);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(c.ok ? r.body : r.error, c.bodyOrError);
    }
}

TEST(HttpReply, ConnectionLostWhileAsking) {
    // A request far larger than the socket buffers stays queued. The server never reads it:
    // once the client is waiting, it sends a header, and once the client has taken the header,
    // it closes, which resets the connection. The next flush of the queue meets the reset.
    // Each side waits for the other's step, so the order holds however slow the machine.
    std::atomic<bool> headerTaken{false};
    const auto waitUntil = [](const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ScriptedServer server(
        {ScriptedServer::awaitData(),
         ScriptedServer::send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n"),
         ScriptedServer::call([&] { waitUntil([&] { return headerTaken.load(); }); })},
        false);
    const std::string huge = "X-Padding: " + std::string(16u << 20, 'p');
    const GetResult r = get(server.url(), 1000, nullptr,
                            [&](unsigned long long, unsigned long long) {
                                if (headerTaken.exchange(true)) return;
                                waitUntil([&] { return server.closedConnections() == 1; });
                            },
                            {huge});
    expectContract(r);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "connection lost while asking");
    EXPECT_EQ(r.status, 200);
}

TEST(HttpCancel, StopsWithinAPollStep) {
    using S = ScriptedServer;
    struct Case {
        const char* name;
        Script script;
    };
    const Case cases[] = {
        {"waiting for the header", {S::hold()}},
        {"inside the header", {S::send("HTTP/1.1 200 OK\r\nCont"), S::hold()}},
        {"inside the body",
         {S::send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc"), S::hold()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        std::atomic<bool> cancel{false};
        std::chrono::steady_clock::time_point cancelledAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancelledAt = std::chrono::steady_clock::now();
            cancel = true;
        });
        const GetResult r = get(server.url(), 1000, &cancel);
        const auto returnedAt = std::chrono::steady_clock::now();
        canceller.join();
        expectContract(r);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "cancelled");
        const double latency = std::chrono::duration<double>(returnedAt - cancelledAt).count();
        EXPECT_LT(latency, 0.2);
        EXPECT_TRUE(server.waitClientClosed(1000));
    }

    // A flag already set stops the request before it waits for anything.
    ScriptedServer server({S::hold()});
    std::atomic<bool> cancel{true};
    const GetResult r = get(server.url(), 1000, &cancel);
    EXPECT_EQ(r.error, "cancelled");
    EXPECT_LT(r.seconds, 0.1);
    EXPECT_TRUE(server.waitClientClosed(1000));
}

TEST(HttpProgress, ReportsBodyBytesAndLength) {
    using S = ScriptedServer;
    struct Case {
        const char* name;
        Script script;
        unsigned long long partial;
        unsigned long long total;
        unsigned long long length;
    };
    const Case cases[] = {
        {"content length",
         {S::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), S::pause(450),
          S::send("defghij")},
         3,
         10,
         10},
        // A chunked body counts its framing and announces no length.
        {"chunked",
         {S::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"), S::pause(450),
          S::send("lo\r\n0\r\n\r\n")},
         6,
         15,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        std::vector<std::pair<unsigned long long, unsigned long long>> calls;
        const GetResult r = get(server.url(), 1000, nullptr,
                                [&](unsigned long long got, unsigned long long length) {
                                    calls.emplace_back(got, length);
                                });
        EXPECT_TRUE(r.ok) << r.error;
        ASSERT_FALSE(calls.empty());
        int atPartial = 0;
        for (const auto& [got, length] : calls) {
            EXPECT_EQ(length, c.length);
            EXPECT_TRUE(got == c.partial || got == c.total) << got;
            if (got == c.partial) ++atPartial;
        }
        // Called on every pass, arrival or not: the pause spans several passes.
        EXPECT_GE(atPartial, 2);
        EXPECT_EQ(calls.back().first, c.total);
    }
}

// The idle limit, with the slow cases run side by side.
TEST(HttpIdle, TwentySecondsOfSilence) {
    using S = ScriptedServer;
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n";
    Script trickle{S::send(header)};
    for (char c : std::string("slowly")) {
        trickle.push_back(S::pause(4000));
        trickle.push_back(S::send(std::string(1, c)));
    }
    ScriptedServer silent({S::hold()});
    ScriptedServer trickling(trickle);
    ScriptedServer late({S::pause(19000), S::send(header + "at 19s"), S::hold()});

    auto silentRun = std::async(std::launch::async, [&] { return get(silent.url()); });
    auto trickleRun = std::async(std::launch::async, [&] { return get(trickling.url()); });
    auto lateRun = std::async(std::launch::async, [&] { return get(late.url()); });

    const GetResult s = silentRun.get();
    expectContract(s);
    EXPECT_EQ(s.error, "the update server stopped answering");
    EXPECT_GT(s.seconds, 20.0);
    EXPECT_LT(s.seconds, 21.5);
    EXPECT_TRUE(silent.waitClientClosed(1000));

    // 24 s in all, but never more than 4 s without a byte.
    const GetResult t = trickleRun.get();
    EXPECT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.body, "slowly");
    EXPECT_GT(t.seconds, 20.0);

    const GetResult l = lateRun.get();
    EXPECT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.body, "at 19s");
}

TEST(HttpDeadline, BoundsTheWholeReplyHoweverSteadilyItTrickles) {
    using S = ScriptedServer;
    Script trickle{S::send("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n")};
    for (char c : std::string("byte by byte")) {
        trickle.push_back(S::pause(150));
        trickle.push_back(S::send(std::string(1, c)));
    }
    ScriptedServer server(trickle);
    std::vector<std::uint8_t> body;
    std::string error;
    EXPECT_FALSE(httpGet(server.url(), body, 100, {}, nullptr, error, {}, nullptr,
                         std::chrono::milliseconds(600)));
    EXPECT_EQ(error, "cannot reach the update server (timed out)");
    EXPECT_TRUE(body.empty());

    // Without a deadline only silence ends a reply.
    const GetResult whole = get(server.url());
    EXPECT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(whole.body, "byte by byte");
}

TEST(Chunked, DecodesInPlace) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    };
    const Case cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", true, "hello"},
        {"3\r\nhel\r\n2\r\nlo\r\n0\r\n", true, "hello"},
        {"5;x=1\r\nhello\r\n0\r\n", true, "hello"},
        {" 0x5\r\nhello\r\n0\r\n", true, "hello"},
        {"+A\r\n0123456789\r\n0\r\n", true, "0123456789"},
        {"1\r\n\0\r\n0\r\n"s, true, "\0"s},
        // The two bytes after the data are skipped unread; trailers are ignored.
        {"5\r\nhelloXY0\r\nTrailer: x\r\n", true, "hello"},
        {"0\r\n", true, ""},
        {"", false, ""},
        {"0", false, ""},
        {"5\r\nhello\r\n", false, ""},
        {"5\r\nhell", false, ""},
        {"5\r\nhello\r", false, ""},
        {"\r\nhello\r\n0\r\n", false, ""},
        {"zz\r\nhello\r\n0\r\n", false, ""},
        {";5\r\nhello\r\n0\r\n", false, ""},
        {"-1\r\nhello\r\n0\r\n", false, ""},
        // Sizes whose sum with the position would wrap round to a small value.
        {"fffffffffffffffe\r\n0\r\n", false, ""},
        {"ffffffffffffffec\r\nhello\r\n0\r\n", false, ""},
        {"ffffffffffffffff\r\nhello\r\n0\r\n", false, ""},
        {"10000000000000005\r\nhello\r\n0\r\n", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::vector<std::uint8_t> body(c.in.begin(), c.in.end());
        ASSERT_EQ(decodeChunked(body), c.ok);
        // A failed decoding leaves the body as it was.
        const std::string expected = c.ok ? c.out : c.in;
        EXPECT_EQ(std::string(body.begin(), body.end()), expected);
    }
}

} // namespace
} // namespace qv::launcher
