// One GET per connection to the update server: build the request, send it,
// and read the reply until its framing says it is complete or the server
// closes, within fixed limits of time and size.
#include "update/http.h"

#include "base/net.h"
#include "update/http_wire.h"
#include "update/manifest.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string_view>

namespace qv::launcher {
namespace {

constexpr int kConnectTimeoutMs = 8000;
constexpr int kPollStepMs = 100;
constexpr std::chrono::nanoseconds kIdleLimit = std::chrono::seconds(20);
// Bytes allowed for a reply header, and so also the room beside the body.
constexpr std::uint64_t kHeaderLimit = 65536;

// Closes the connection on every way out of a request.
struct SocketGuard {
    SOCKET socket;
    ~SocketGuard() { closeSocket(socket); }
};

// Room for the whole body of a reply that announces its length (already checked against the
// size limit). The length is the server's word: when it cannot be had, the body grows as it
// arrives instead, and the receive limit still bounds it.
void reserveBody(std::vector<std::uint8_t>& body, const HttpReplyHeader& reply) {
    if (!reply.hasContentLength || reply.chunked || reply.contentLength > SIZE_MAX) return;
    try {
        body.reserve(static_cast<std::size_t>(reply.contentLength));
    } catch (const std::exception&) {
    }
}

// The time length bytes take at rate bytes per second, in whole milliseconds; a length that
// would take longer than a day counts as a day (the announced length is the server's word).
std::chrono::milliseconds timeToReceive(std::uint64_t length, std::uint64_t rate) {
    constexpr std::uint64_t kDayMs = 86400000;
    const std::uint64_t seconds = length / rate;
    if (seconds >= kDayMs / 1000) return std::chrono::milliseconds(kDayMs);
    return std::chrono::milliseconds(seconds * 1000 + (length % rate) * 1000 / rate);
}

} // namespace

bool parseUrl(const std::string& url, std::string& host, std::uint16_t& port, std::string& path) {
    constexpr std::string_view scheme = "http://";
    for (const char c : url) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    if (url.size() <= 6 || std::string_view(url).substr(0, scheme.size()) != scheme) return false;
    const std::size_t slash = url.find('/', scheme.size());
    const std::string authority = slash == std::string::npos
                                      ? url.substr(scheme.size())
                                      : url.substr(scheme.size(), slash - scheme.size());
    path = slash == std::string::npos ? "/" : url.substr(slash);
    port = 80;
    host.clear();
    return splitHostPort(authority, host, port) && !host.empty();
}

std::string buildHttpRequest(const std::string& host, std::uint16_t port, const std::string& path,
                             const std::vector<std::string>& extraHeaders) {
    std::string request = "GET " + path + " HTTP/1.1\r\n";
    request += "Host: " + host;
    if (port != 80) request += ":" + std::to_string(port);
    request += "\r\n";
    request += "User-Agent: CorvantheLauncher\r\n";
    request += "Accept-Encoding: identity\r\n";
    for (const std::string& line : extraHeaders)
        request += line + "\r\n";
    request += "Connection: close\r\n";
    request += "\r\n";
    return request;
}

bool httpGet(const std::string& url, std::vector<std::uint8_t>& body, std::uint64_t maxSize,
             const HttpProgress& progress, std::atomic<bool>* cancel, std::string& error,
             const std::vector<std::string>& extraHeaders, int* status,
             std::chrono::milliseconds deadline, std::uint64_t deadlineRate) {
    body.clear();
    if (status) *status = 0;
    const auto started = std::chrono::steady_clock::now();
    const bool limited = deadline.count() > 0;

    std::string host;
    std::string path;
    std::uint16_t port = 80;
    if (!parseUrl(url, host, port, path)) {
        error = "bad address " + url;
        return false;
    }
    std::string connectError;
    const int connectMs = limited ? static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                                        kConnectTimeoutMs, deadline.count()))
                                  : kConnectTimeoutMs;
    SocketGuard connection{tcpConnect(host, port, connectMs, connectError)};
    if (connection.socket == INVALID_SOCKET) {
        error = "cannot reach the update server (" + connectError + ")";
        return false;
    }
    const auto fail = [&](const std::string& message) {
        closeSocket(connection.socket);
        error = message;
        body.clear();
        return false;
    };

    // A connection lost at once shows up below, as a hang-up or as silence.
    const std::string request = buildHttpRequest(host, port, path, extraHeaders);
    std::vector<std::uint8_t> sendQueue;
    tcpSend(connection.socket, sendQueue, request.data(), request.size());

    // maxSize comes from a manifest entry and may be anything; the limits built on it stop at
    // the largest value rather than wrap round to a small one.
    // Reads stop one byte above the limit, so that a reply longer than the
    // limit is seen as such rather than as one that merely paused.
    const std::uint64_t receiveLimit = addSaturated(maxSize, kHeaderLimit);
    const std::uint64_t cap = addSaturated(receiveLimit, 1);
    const std::size_t receiveCap = cap > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(cap);

    const std::vector<SOCKET> waitList{connection.socket};
    // Until the header is complete the reply goes to `received`, read no further than the header
    // limit allows; from then on straight to the body, which a reply that announces its length
    // gets reserved whole, so the body is never moved, neither to grow nor to drop the header.
    const std::size_t headerCap = std::min<std::size_t>(receiveCap, kHeaderLimit + 1);
    std::vector<std::uint8_t> received;
    std::size_t headerLength = 0;
    HttpReplyHeader reply;
    auto lastActivity = std::chrono::steady_clock::now();
    for (;;) {
        if (cancel && cancel->load()) return fail("cancelled");
        if (!sendQueue.empty() && !tcpFlush(connection.socket, sendQueue)) {
            return fail("connection lost while asking");
        }
        waitReadable(waitList, kPollStepMs);
        const std::size_t before = headerLength + body.size() + received.size();
        const bool open = headerLength == 0
                              ? tcpReceive(connection.socket, received, headerCap)
                              : tcpReceive(connection.socket, body, receiveCap - headerLength);
        const std::size_t total = headerLength + body.size() + received.size();
        const auto now = std::chrono::steady_clock::now();
        if (total != before) {
            lastActivity = now;
        } else if (now - lastActivity > kIdleLimit) {
            return fail("the update server stopped answering");
        }
        // Only bytes that came earn time: an announced length is the server's word, and one that
        // announces much and then drips must be cut as early as one that announces nothing.
        const auto earned =
            deadlineRate > 0 ? timeToReceive(total, deadlineRate) : std::chrono::milliseconds(0);
        if (limited && now - started > deadline + earned) {
            return fail("cannot reach the update server (timed out)");
        }

        if (headerLength == 0 && received.size() >= 4) {
            const std::size_t end = findHeaderEnd(received.data(), received.size());
            if (end == 0) {
                if (received.size() > kHeaderLimit) return fail("reply header too long");
            } else {
                std::string headerError;
                const bool accepted =
                    readReplyHeader(received.data(), end, maxSize, path, reply, headerError);
                if (status) *status = reply.status;
                if (!accepted) return fail(headerError);
                headerLength = end;
                reserveBody(body, reply);
                body.insert(body.end(), received.begin() + static_cast<std::ptrdiff_t>(end),
                            received.end());
                received = std::vector<std::uint8_t>();
            }
        }
        if (headerLength != 0) {
            const std::uint64_t bodyBytes = body.size();
            if (progress) progress(bodyBytes, reply.hasContentLength ? reply.contentLength : 0);
            if (reply.hasContentLength && !reply.chunked && bodyBytes >= reply.contentLength) break;
            // A body that only the close ends is held to the limit as it arrives, as a length
            // above the limit is held to it before; a chunked one once it is decoded.
            if (!reply.hasContentLength && !reply.chunked && bodyBytes > maxSize)
                return fail("file larger than expected");
        }
        if (total > receiveLimit) return fail("file larger than expected");
        if (!open) break;
    }

    closeSocket(connection.socket);
    if (headerLength == 0) return fail("the update server hung up");
    if (reply.chunked) {
        if (!decodeChunked(body)) return fail("download cut short");
        if (body.size() > maxSize) return fail("file larger than expected");
    } else if (reply.hasContentLength) {
        if (body.size() < reply.contentLength) return fail("download cut short");
        // Bytes past the announced length can only come with the read that
        // completed it; they belong to no file of ours, so they are dropped.
        body.resize(static_cast<std::size_t>(reply.contentLength));
    }
    return true;
}

} // namespace qv::launcher
