// Differential fuzzing of the inflater against zlib's own decoder.
//
// Input: one mode byte, then the zlib stream. The mode picks the expected size, so that both the
// accepting path and the size-mismatch paths are explored:
//   below 0xC0  the size of the content, plus one for mode % 8 == 1, minus one for mode % 8 == 2;
//               with bit 0x40 set, the last four bytes are first replaced by the Adler-32 of what
//               the inflater decodes, and its size is the content size; otherwise zlib's size
//   0xC0-0xFE   mode - 0xC0 (0 to 62)
//   0xFF        SIZE_MAX, which cannot be reserved
// Without the rewrite, almost every mutated stream would fail its checksum, and the decoder's
// leniencies (incomplete codes, trailing bytes) would hardly ever reach an accepted stream.
//
// Rules: whenever the inflater accepts, zlib must decode the same bytes, unless the stream uses
// one of the decoder's known leniencies (window field above 7, incomplete Huffman codes, bytes
// between the final block and the last four). Whenever a stream that zlib decodes with nothing
// left over has exactly the expected size, the inflater must accept it. Anything else aborts.

#include "update/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kOutputLimit = size_t{1} << 22;

struct ZlibResult {
    int status = Z_BUF_ERROR; // Z_STREAM_END, Z_DATA_ERROR, Z_NEED_DICT or Z_BUF_ERROR
    bool outputFull = false;
    Bytes out;
    size_t used = 0; // input bytes consumed
    const char* message = "";
};

// windowBits -15: raw deflate data; 15: a whole zlib stream, header and trailer checked by zlib.
ZlibResult zlibInflate(const uint8_t* data, size_t size, int windowBits) {
    ZlibResult r;
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) std::abort();
    // One buffer for the whole run: filling a fresh one for every input would cost more than
    // the decoding.
    static uint8_t* const buffer = new uint8_t[kOutputLimit + 2];
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = buffer;
    z.avail_out = static_cast<uInt>(kOutputLimit + 2);
    r.status = inflate(&z, Z_FINISH);
    r.outputFull = z.avail_out == 0;
    r.out.assign(buffer, buffer + z.total_out);
    r.used = z.total_in;
    if (z.msg != nullptr) r.message = z.msg;
    inflateEnd(&z);
    return r;
}

// zlib's messages for a code table it refuses: over-subscribed (which the inflater refuses too)
// or incomplete (which the inflater accepts).
bool codeTableRefused(const ZlibResult& r) {
    return r.status == Z_DATA_ERROR &&
           (std::strcmp(r.message, "invalid code lengths set") == 0 ||
            std::strcmp(r.message, "invalid literal/lengths set") == 0 ||
            std::strcmp(r.message, "invalid distances set") == 0);
}

uint32_t adler(const Bytes& b) {
    return static_cast<uint32_t>(
        adler32(adler32(0, nullptr, 0), b.data(), static_cast<uInt>(b.size())));
}

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "inflate differs from zlib: %s\n", why);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
    if (inputSize < 1) return 0;
    const uint8_t mode = input[0];
    Bytes copy(input + 1, input + inputSize);
    const size_t size = copy.size();
    const uint8_t* stream = copy.data();

    size_t contentSize = 0;
    const bool rewrite = mode < 0xC0 && (mode & 0x40) != 0 && size >= 6;
    if (rewrite) {
        // On failure the output's contents are unspecified; here they only choose the trailer.
        Bytes first;
        qv::launcher::inflateZlib(stream, size, kOutputLimit, first);
        const uint32_t sum = adler(first);
        for (int i = 0; i < 4; ++i)
            copy[size - 4 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
        contentSize = first.size();
    }

    // zlib's reading of everything after the 2-byte header as deflate data, and of the whole.
    const ZlibResult raw = size >= 2 ? zlibInflate(stream + 2, size - 2, -15) : ZlibResult{};
    const ZlibResult whole = zlibInflate(stream, size, 15);

    size_t expected;
    if (mode == 0xFF) {
        expected = SIZE_MAX;
    } else if (mode >= 0xC0) {
        expected = mode - 0xC0u;
    } else {
        if (!rewrite) {
            if (raw.outputFull) return 0; // too large to know its size
            contentSize = raw.out.size();
        }
        expected = contentSize;
        if (mode % 8 == 1)
            ++expected;
        else if (mode % 8 == 2 && expected > 0)
            --expected;
    }

    Bytes out{0xAA};
    const bool accepted = qv::launcher::inflateZlib(stream, size, expected, out);

    const bool headerOk = size >= 2 && (stream[0] & 0x0F) == 8 &&
                          (stream[0] * 256u + stream[1]) % 31 == 0 && (stream[1] & 0x20) == 0;
    const uint32_t trailer = size >= 6 ? uint32_t{stream[size - 4]} << 24 |
                                             uint32_t{stream[size - 3]} << 16 |
                                             uint32_t{stream[size - 2]} << 8 | stream[size - 1]
                                       : 0;
    // The deflate data ended before the last four bytes, which the inflater reads as the trailer.
    const bool endsInside = raw.status == Z_STREAM_END && size >= 6 && raw.used <= size - 6;

    if (accepted) {
        if (!headerOk || size < 6) fail("accepted a bad header or a short input");
        if (out.size() != expected) fail("accepted content of another size");
        if (adler(out) != trailer) fail("accepted content whose Adler-32 is not the trailer");
        if (raw.status == Z_STREAM_END) {
            if (out != raw.out) fail("accepted other content than zlib decodes");
            if (!endsInside) fail("accepted a stream whose deflate data runs into the trailer");
        } else if (codeTableRefused(raw)) {
            if (out.size() < raw.out.size() ||
                !std::equal(raw.out.begin(), raw.out.end(), out.begin()))
                fail("content before an incomplete code differs from zlib's");
        } else {
            fail("accepted a stream zlib refuses for a reason the decoder shares");
        }
        // zlib's own header and trailer checks may refuse only for the known leniencies.
        const bool wholeAccepts = whole.status == Z_STREAM_END && whole.used == size;
        if (!wholeAccepts) {
            const bool windowField = (stream[0] >> 4) > 7;
            const bool trailingBytes = raw.status == Z_STREAM_END && raw.used < size - 6;
            if (!windowField && !trailingBytes && !codeTableRefused(raw))
                fail("accepted a stream that zlib refuses");
        } else if (whole.out != out) {
            fail("accepted other content than zlib decodes as a whole stream");
        }
    } else {
        if (headerOk && endsInside && raw.out.size() == expected && adler(raw.out) == trailer)
            fail("refused a stream the rules accept");
        if (whole.status == Z_STREAM_END && whole.used == size && whole.out.size() == expected)
            fail("refused a whole stream that zlib accepts at the expected size");
    }
    return 0;
}
