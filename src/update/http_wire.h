// The bytes on the wire of the HTTP client, apart from the connection: the
// request it sends and the reading of a reply's header. Kept apart from
// httpGet so that the tests and the fuzzers can drive them without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::launcher {

// What the header of a reply says about the reply.
struct HttpReplyHeader {
    int status = 0;
    bool hasContentLength = false;
    std::uint64_t contentLength = 0;
    bool chunked = false;
};

// The whole GET request for path on host and port, every line ended by CR LF.
std::string buildHttpRequest(const std::string& host, std::uint16_t port, const std::string& path,
                             const std::vector<std::string>& extraHeaders);

// The length of the header at the start of data, up to and including the
// first CR LF CR LF; 0 while there is none.
std::size_t findHeaderEnd(const std::uint8_t* data, std::size_t size);

// Reads a complete header (size bytes, ending with its blank line). True only
// for a status-200 reply whose announced length fits maxSize; otherwise error
// says why, with path (as requested) naming the missing file of a 404. The
// status is in reply.status whenever a status line was read, also on false.
bool readReplyHeader(const std::uint8_t* data, std::size_t size, std::uint64_t maxSize,
                     const std::string& path, HttpReplyHeader& reply, std::string& error);

} // namespace qv::launcher
