// A minimal HTTP/1.1 client for the update server: one GET per connection over
// the base layer's non-blocking sockets, the reply body held in memory. Plain
// http only: no TLS, no redirects, no compression, no keep-alive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv::launcher {

// Called on the requesting thread with (body bytes received so far, framing
// included for a chunked reply; the announced content length or 0).
using HttpProgress = std::function<void(unsigned long long, unsigned long long)>;

// Fetches url into body. True only for a complete status-200 reply; then body
// holds exactly the reply's body and error is left as it was. False comes with
// a short lower-case error and an empty body. The body may take maxSize bytes
// in every framing, and the reply as received (header and chunk framing
// included) maxSize + 65536; a reply announced as larger than maxSize is
// refused before its body is read. cancel, when given, is
// polled about every 100 ms. Each extra header is one complete line without
// its line end. status, when given, receives the reply's status once a status
// line was read, else 0. A deadline above zero bounds the whole request, connecting included:
// a reply not complete by then fails as "cannot reach the update server (timed out)", however
// steadily it trickles in. With deadlineRate above zero, every byte received so far (header and
// framing included) adds the time it takes at deadlineRate bytes per second; an announced length
// adds nothing.
bool httpGet(const std::string& url, std::vector<std::uint8_t>& body, std::uint64_t maxSize,
             const HttpProgress& progress, std::atomic<bool>* cancel, std::string& error,
             const std::vector<std::string>& extraHeaders = {}, int* status = nullptr,
             std::chrono::milliseconds deadline = {}, std::uint64_t deadlineRate = 0);

// Splits "http://" host [":" port] [path] into its parts: port 80 and path "/"
// when the URL names none. The scheme must be written in lower case. A URL with
// a control byte in it (CR and LF among them) is refused: it would write lines
// of its own into the request.
bool parseUrl(const std::string& url, std::string& host, std::uint16_t& port, std::string& path);

// Decodes a chunked transfer coding in place. False, with body unchanged, when
// the coding is malformed or ends before its last chunk.
bool decodeChunked(std::vector<std::uint8_t>& body);

} // namespace qv::launcher
