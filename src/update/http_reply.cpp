// Reading what the update server sends back: the reply's header and a chunked
// body. Everything here is untrusted input, so every size is checked against
// the bytes actually present before it is used.
#include "update/hex.h"
#include "update/http.h"
#include "update/http_wire.h"

#include <climits>
#include <cstring>
#include <string_view>

namespace qv::launcher {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of c as a digit of base (10 or 16), or -1 when it is none.
int digitValue(char c, int base) {
    const int value = hexDigitValue(c);
    return value < base ? value : -1;
}

// Steps i over the white space and the optional sign that the C library's number readers take
// before the digits; true when the sign was a minus.
bool skipSpaceAndSign(std::string_view text, std::size_t& i) {
    while (i < text.size() && isSpace(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) return text[i++] == '-';
    return false;
}

// Reads a number the way strtoull does in the C locale: leading white space,
// an optional sign, for base 16 an optional 0x, then digits up to the first
// other character. Too large a value saturates; a minus sign wraps, as there.
// Written out so that the reading never depends on the process's locale and
// never needs a terminated copy of the text.
std::uint64_t readUnsigned(std::string_view text, int base, bool& anyDigit) {
    std::size_t i = 0;
    const bool negative = skipSpaceAndSign(text, i);
    if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X') && digitValue(text[i + 2], 16) >= 0) {
        i += 2;
    }
    anyDigit = false;
    bool overflow = false;
    std::uint64_t value = 0;
    for (; i < text.size() && digitValue(text[i], base) >= 0; ++i) {
        anyDigit = true;
        const auto digit = static_cast<std::uint64_t>(digitValue(text[i], base));
        if (value > (UINT64_MAX - digit) / static_cast<std::uint64_t>(base)) overflow = true;
        value = value * static_cast<std::uint64_t>(base) + digit;
    }
    if (overflow) return UINT64_MAX;
    return negative ? 0 - value : value;
}

// The status as atoi reads it. A number beyond the int range (where atoi
// itself is undefined) is held at the nearest int.
int readStatus(std::string_view text) {
    std::size_t i = 0;
    const bool negative = skipSpaceAndSign(text, i);
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string lowerAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

void readHeaderLine(std::string_view line, HttpReplyHeader& reply) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string name = lowerAscii(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    if (name == "content-length") {
        bool anyDigit = false;
        reply.contentLength = readUnsigned(value, 10, anyDigit);
        reply.hasContentLength = true;
    } else if (name == "transfer-encoding") {
        if (lowerAscii(value).find("chunked") != std::string::npos) reply.chunked = true;
    }
}

// Walks the chunks of body. With compact set, it also moves each chunk's data
// down to the end of the data before it; the data never overtakes the framing
// still to be read, so this is safe in place. Returns the decoded size, or
// false for a coding that is malformed or ends before its last chunk.
bool walkChunks(std::vector<std::uint8_t>& body, bool compact, std::size_t& decoded) {
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    decoded = 0;
    std::size_t p = 0;
    for (;;) {
        const std::size_t lineEnd = text.find(kLineEnd, p);
        if (lineEnd == std::string_view::npos) return false;
        bool anyDigit = false;
        const std::uint64_t size = readUnsigned(text.substr(p, lineEnd - p), 16, anyDigit);
        if (!anyDigit) return false;
        if (size == 0) return true;
        const std::size_t data = lineEnd + kLineEnd.size();
        // The data and the two bytes after them must all be present; compared
        // as what remains so that no untrusted size is ever added.
        const std::uint64_t remaining = body.size() - data;
        if (size > remaining || remaining - size < 2) return false;
        const auto length = static_cast<std::size_t>(size);
        if (compact && decoded != data)
            std::memmove(body.data() + decoded, body.data() + data, length);
        decoded += length;
        p = data + length + 2;
    }
}

} // namespace

std::size_t findHeaderEnd(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t blank = text.find("\r\n\r\n");
    return blank == std::string_view::npos ? 0 : blank + 4;
}

bool readReplyHeader(const std::uint8_t* data, std::size_t size, std::uint64_t maxSize,
                     const std::string& path, HttpReplyHeader& reply, std::string& error) {
    reply = HttpReplyHeader{};
    const std::string_view header(reinterpret_cast<const char*>(data), size);
    if (header.size() < 7 || header.substr(0, 7) != "HTTP/1.") {
        error = "not an HTTP reply";
        return false;
    }
    // "HTTP/1.", the minor version and one separator come before the number.
    reply.status = header.size() > 9 ? readStatus(header.substr(9)) : 0;

    std::size_t lineStart = header.find(kLineEnd);
    while (lineStart != std::string_view::npos) {
        lineStart += kLineEnd.size();
        const std::size_t lineEnd = header.find(kLineEnd, lineStart);
        if (lineEnd == std::string_view::npos || lineEnd == lineStart) break;
        readHeaderLine(header.substr(lineStart, lineEnd - lineStart), reply);
        lineStart = lineEnd;
    }

    if (reply.status == 200) {
        if (reply.hasContentLength && reply.contentLength > maxSize) {
            error = "file larger than expected";
            return false;
        }
        return true;
    }
    if (reply.status == 404) {
        error = "not on the update server: " + path;
        return false;
    }
    error = "the update server said " + std::to_string(reply.status);
    return false;
}

bool decodeChunked(std::vector<std::uint8_t>& body) {
    // A first walk only checks, so a bad coding leaves body as it was; the
    // second compacts in place instead of holding a second copy of a body that
    // may be as large as a whole game file.
    std::size_t decoded = 0;
    if (!walkChunks(body, false, decoded)) return false;
    walkChunks(body, true, decoded);
    body.resize(decoded);
    return true;
}

} // namespace qv::launcher
