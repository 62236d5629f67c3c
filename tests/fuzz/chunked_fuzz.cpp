// Decodes arbitrary bytes as a chunked body and compares the in-place decoder
// with a plain one that copies and reads sizes with the C library's strtoull:
// both must agree on every input, and a refused body must come back untouched.
#include "update/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool decodeByCopying(const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out) {
    const std::string text(in.begin(), in.end());
    out.clear();
    std::size_t p = 0;
    for (;;) {
        const std::size_t lineEnd = text.find("\r\n", p);
        if (lineEnd == std::string::npos) return false;
        const std::string line = text.substr(p, lineEnd - p);
        char* stop = nullptr;
        const unsigned long long size = std::strtoull(line.c_str(), &stop, 16);
        if (stop == line.c_str()) return false;
        if (size == 0) return true;
        const std::size_t data = lineEnd + 2;
        if (size > text.size() - data || text.size() - data - size < 2) return false;
        out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(data),
                   in.begin() + static_cast<std::ptrdiff_t>(data + size));
        p = data + size + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::uint8_t> input(data, data + size);
    std::vector<std::uint8_t> body = input;
    const bool decoded = qv::launcher::decodeChunked(body);
    std::vector<std::uint8_t> expected;
    if (decodeByCopying(input, expected) != decoded) __builtin_trap();
    if (decoded ? body != expected : body != input) __builtin_trap();
    return 0;
}
