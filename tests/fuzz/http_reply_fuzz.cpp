// Feeds arbitrary received bytes to the reply-header reader the way the HTTP
// client does: find the end of the header, read it, and for an accepted
// chunked reply decode what followed. Nothing may crash, and an accepted
// header must be a 200 whose announced length fits the limit.
#include "update/http.h"
#include "update/http_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qv::launcher;
    if (size < 1) return 0;
    // The first byte picks the size limit, so that the length check is met
    // from both sides.
    static const std::uint64_t limits[] = {0, 1, 5, 1000, 65536, 0x400000, UINT64_MAX};
    const std::uint64_t maxSize = limits[data[0] % (sizeof limits / sizeof limits[0])];
    ++data;
    --size;

    const std::size_t end = findHeaderEnd(data, size);
    if (end != 0 && (end < 4 || end > size || std::memcmp(data + end - 4, "\r\n\r\n", 4) != 0)) {
        __builtin_trap();
    }
    // Without a blank line the whole input goes in: the reader must cope with
    // any bytes, not only with headers the client would hand it.
    const std::size_t headerSize = end != 0 ? end : size;
    HttpReplyHeader reply;
    std::string error;
    const bool accepted = readReplyHeader(data, headerSize, maxSize, "/f", reply, error);
    if (accepted) {
        if (reply.status != 200) __builtin_trap();
        if (reply.hasContentLength && reply.contentLength > maxSize) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    if (accepted && reply.chunked && end != 0) {
        std::vector<std::uint8_t> body(data + end, data + size);
        const std::size_t before = body.size();
        if (decodeChunked(body) && body.size() > before) __builtin_trap();
    }
    return 0;
}
