#include "update/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qv::launcher {
namespace {

using Bytes = std::vector<uint8_t>;

// Sanitizer allocators end the process on an impossible request instead of throwing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define INFLATE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define INFLATE_TEST_SANITIZED 1
#endif
#endif
#ifdef INFLATE_TEST_SANITIZED
constexpr bool kSanitizedAllocator = true;
#else
constexpr bool kSanitizedAllocator = false;
#endif

// ---- material ---------------------------------------------------------------------------------

Bytes textContent(size_t size, unsigned seed = 1) {
    static const char* const kWords[] = {"the",     "launcher", "keeps",  "game",   "folder",
                                         "current", "and",      "of",     "server", "release",
                                         "a",       "texture",  "player", "north",  "quest"};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < size) {
        const std::string_view word = kWords[random() % std::size(kWords)];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(random() % 11 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

Bytes randomContent(size_t size, unsigned seed = 2) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (uint8_t& byte : out)
        byte = static_cast<uint8_t>(random());
    return out;
}

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

// Real zlib, with a flush every `flushEvery` bytes when asked, which puts non-final blocks and
// (for the sync and full flushes) empty stored blocks in the middle of the stream.
Bytes zlibCompress(const Bytes& content, int level, int strategy = Z_DEFAULT_STRATEGY,
                   int windowBits = 15, int flush = Z_NO_FLUSH, size_t flushEvery = 0) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, content.size()) + 64 + content.size() / 100);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t done = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        const size_t step =
            flushEvery != 0 ? std::min(flushEvery, content.size() - done) : content.size() - done;
        z.next_in = const_cast<Bytef*>(content.data() + done);
        z.avail_in = static_cast<uInt>(step);
        done += step;
        result = deflate(&z, done == content.size() ? Z_FINISH : flush);
        EXPECT_EQ(z.avail_in, 0u);
    }
    EXPECT_EQ(result, Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes zlibUncompress(const Bytes& stream, size_t size) {
    Bytes out(size + 1);
    uLongf length = out.size();
    if (uncompress(out.data(), &length, stream.data(), stream.size()) != Z_OK)
        return {0xEE}; // never a content the tests use
    out.resize(length);
    return out;
}

// Deflate data written by hand: plain values lowest bit first, Huffman codes highest bit first.
struct BitWriter {
    Bytes bytes;
    int used = 0; // bits used in the last byte

    void bit(unsigned b) {
        if (used == 0) bytes.push_back(0);
        bytes.back() |= static_cast<uint8_t>(b << used);
        used = (used + 1) & 7;
    }
    void value(unsigned v, int n) {
        for (int i = 0; i < n; ++i)
            bit(v >> i & 1);
    }
    void code(unsigned c, int n) {
        for (int i = n - 1; i >= 0; --i)
            bit(c >> i & 1);
    }
    void fixedSymbol(int s) {
        if (s < 144)
            code(0x30 + s, 8);
        else if (s < 256)
            code(0x190 + s - 144, 9);
        else if (s < 280)
            code(s - 256, 7);
        else
            code(0xC0 + s - 280, 8);
    }
    void fixedDistance(int s) { code(s, 5); }
};

// The canonical codes for a list of lengths (RFC 1951, 3.2.2).
std::vector<unsigned> canonicalCodes(const Bytes& lengths) {
    unsigned count[16] = {}, next[16] = {};
    for (uint8_t l : lengths)
        ++count[l];
    count[0] = 0;
    for (int len = 1, code = 0; len < 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<unsigned> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
    return codes;
}

Bytes zlibWrap(const Bytes& deflate, const Bytes& content, uint8_t cmf = 0x78, uint8_t flg = 0x01) {
    Bytes out{cmf, flg};
    out.insert(out.end(), deflate.begin(), deflate.end());
    const uLong sum =
        adler32(adler32(0, nullptr, 0), content.data(), static_cast<uInt>(content.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(sum >> shift));
    return out;
}

bool decode(const Bytes& stream, size_t expected, Bytes& out) {
    return inflateZlib(stream.data(), stream.size(), expected, out);
}

// ---- real zlib streams ------------------------------------------------------------------------

struct RealCase {
    std::string name;
    Bytes content;
};

// Runs of short patterns, one for every period up to 20 and runs of many lengths: the copies
// overlap themselves at every short distance, ending at every place in their pattern.
Bytes shortRepeats() {
    std::mt19937 random(9);
    Bytes out;
    for (size_t period = 1; period <= 20; ++period)
        for (size_t run : {3, 7, 8, 9, 16, 17, 63, 258, 259, 600}) {
            Bytes pattern(period);
            for (uint8_t& byte : pattern)
                byte = static_cast<uint8_t>(random());
            for (size_t i = 0; i < run; ++i)
                out.push_back(pattern[i % period]);
            out.push_back(static_cast<uint8_t>(random()));
        }
    return out;
}

std::vector<RealCase> realContents() {
    return {{"empty", {}},
            {"one byte", {'x'}},
            {"tiny text", textContent(40)},
            {"text", textContent(150000)},
            {"random", randomContent(70000)},
            {"short repeats", shortRepeats()},
            {"text then random", [] {
                 Bytes b = textContent(50000, 3);
                 const Bytes r = randomContent(30000, 4);
                 b.insert(b.end(), r.begin(), r.end());
                 return b;
             }()}};
}

void expectRoundTrip(const Bytes& stream, const Bytes& content) {
    Bytes out;
    ASSERT_TRUE(decode(stream, content.size(), out));
    EXPECT_TRUE(out == content);
    EXPECT_EQ(out.capacity(), content.size()) << "the output grew past its one reservation";
}

TEST(InflateZlib, DecodesRealStreamsOfEveryLevel) {
    for (const RealCase& c : realContents())
        for (int level = 0; level <= 9; ++level) {
            SCOPED_TRACE(c.name + ", level " + std::to_string(level));
            expectRoundTrip(zlibCompress(c.content, level), c.content);
        }
}

TEST(InflateZlib, DecodesRealStreamsOfEveryStrategyAndFlush) {
    const struct {
        const char* name;
        int strategy;
        int flush;
    } kinds[] = {{"filtered", Z_FILTERED, Z_NO_FLUSH},
                 {"huffman only", Z_HUFFMAN_ONLY, Z_NO_FLUSH},
                 {"rle", Z_RLE, Z_NO_FLUSH},
                 {"fixed", Z_FIXED, Z_NO_FLUSH},
                 {"sync flushes", Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH},
                 {"full flushes", Z_DEFAULT_STRATEGY, Z_FULL_FLUSH},
                 {"partial flushes", Z_DEFAULT_STRATEGY, Z_PARTIAL_FLUSH}};
    for (const RealCase& c : realContents())
        for (const auto& kind : kinds)
            for (int level : {1, 6, 9}) {
                SCOPED_TRACE(c.name + ", " + kind.name + ", level " + std::to_string(level));
                expectRoundTrip(zlibCompress(c.content, level, kind.strategy, 15, kind.flush, 3001),
                                c.content);
            }
}

TEST(InflateZlib, DecodesEveryWindowSize) {
    const Bytes content = textContent(300000, 5);
    for (int windowBits = 9; windowBits <= 15; ++windowBits) {
        SCOPED_TRACE("window bits " + std::to_string(windowBits));
        const Bytes stream = zlibCompress(content, 9, Z_DEFAULT_STRATEGY, windowBits);
        EXPECT_EQ(stream[0] >> 4, windowBits - 8);
        expectRoundTrip(stream, content);
    }
}

TEST(InflateZlib, DecodesMultiMegabyteContents) {
    const Bytes text = textContent(3 << 20, 6);
    const Bytes random = randomContent(1 << 20, 7);
    for (int level : {1, 6, 9}) {
        SCOPED_TRACE("level " + std::to_string(level));
        expectRoundTrip(zlibCompress(text, level), text);
        expectRoundTrip(zlibCompress(random, level), random);
    }
}

// ---- headers, sizes, trailers -----------------------------------------------------------------

TEST(InflateZlib, ChecksTheHeaderButNotTheWindowField) {
    const Bytes body = hex("03 00 00 00 00 01"); // an empty fixed block and the empty trailer
    const struct {
        const char* header;
        bool accepted;
    } cases[] = {{"78 01", true},  {"78 5E", true}, {"78 9C", true},
                 {"78 DA", true},  {"88 1C", true}, // window field 8: not looked at
                 {"F8 1F", true},                   // window field 15
                 {"7F 07", false},                  // method 15, check right
                 {"78 9D", false},                  // check wrong
                 {"78 20", false},                  // preset dictionary, check right
                 {"78 BB", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        Bytes stream = hex(c.header);
        ASSERT_EQ((stream[0] * 256 + stream[1]) % 31 == 0, std::string_view(c.header) != "78 9D");
        stream.insert(stream.end(), body.begin(), body.end());
        Bytes out{1, 2, 3};
        EXPECT_EQ(decode(stream, 0, out), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(out.empty());
        }
    }
}

TEST(InflateZlib, EmptyContentAndShortInputs) {
    Bytes out{9};
    EXPECT_TRUE(decode(hex("78 9C 03 00 00 00 00 01"), 0, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(decode(hex("78 01 01 00 00 FF FF 00 00 00 01"), 0, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(decode(hex("78 9C 03 00 00 00 00 01"), 1, out)) << "one byte short";

    EXPECT_FALSE(decode(hex("78 9C 02 00 00 00 00 01"), 0, out)) << "no final block";

    const Bytes whole = hex("78 9C 03 00 00 00 00 01");
    for (size_t n = 0; n <= 5; ++n)
        EXPECT_FALSE(inflateZlib(whole.data(), n, 0, out)) << n << " bytes";
    EXPECT_FALSE(inflateZlib(nullptr, 0, 0, out));
}

TEST(InflateZlib, BitsPastTheDataFailTheStream) {
    // Seven 9-bit literals between the 3-bit header and the 7-bit end code: 73 bits, so the end
    // code's last bit (a 0) is alone in the tenth byte. Without that byte, the zero read in its
    // place completes the code, and only the overrun refuses the stream. (With 150, the
    // trailer's first byte is even: a reader that took the trailer for data would complete the
    // end code from it.)
    BitWriter w;
    w.value(1, 1);
    w.value(1, 2);
    for (int i = 0; i < 7; ++i)
        w.fixedSymbol(150);
    w.fixedSymbol(256);
    ASSERT_EQ(w.bytes.size(), 10u);
    const Bytes content(7, 150);
    Bytes out;
    EXPECT_TRUE(decode(zlibWrap(w.bytes, content), 7, out));
    w.bytes.pop_back();
    EXPECT_FALSE(decode(zlibWrap(w.bytes, content), 7, out));
}

TEST(InflateZlib, ContentMustHaveExactlyTheExpectedSize) {
    const Bytes content = textContent(20000, 8);
    const struct {
        const char* name;
        Bytes stream;
    } streams[] = {{"stored", zlibCompress(content, 0)},
                   {"fixed", zlibCompress(content, 6, Z_FIXED)},
                   {"dynamic", zlibCompress(content, 9)}};
    for (const auto& s : streams) {
        SCOPED_TRACE(s.name);
        for (size_t expected : {content.size() - 1, size_t{0}, size_t{100}}) {
            Bytes out;
            EXPECT_FALSE(decode(s.stream, expected, out)) << expected;
            // Refused before any byte beyond the expected size was written.
            EXPECT_LE(out.size(), expected);
            EXPECT_EQ(out.capacity(), expected);
        }
        Bytes out;
        EXPECT_FALSE(decode(s.stream, content.size() + 1, out)) << "one byte short";
        EXPECT_TRUE(decode(s.stream, content.size(), out));
    }
}

TEST(InflateZlib, AReusedOutputHoldsOnlyTheNewContent) {
    // The vector keeps its storage from one stream to the next; nothing of an earlier content
    // may show through, whether the next one is shorter, longer or refused.
    const Bytes large = textContent(150000, 10), small = textContent(40, 11);
    const Bytes largeStream = zlibCompress(large, 9), smallStream = zlibCompress(small, 9);
    Bytes out(200000, 0xAA);
    ASSERT_TRUE(decode(largeStream, large.size(), out));
    EXPECT_TRUE(out == large);
    ASSERT_TRUE(decode(smallStream, small.size(), out));
    EXPECT_TRUE(out == small);
    EXPECT_FALSE(decode(largeStream, large.size() + 1, out));
    EXPECT_LE(out.size(), large.size());
    ASSERT_TRUE(decode(largeStream, large.size(), out));
    EXPECT_TRUE(out == large);
}

TEST(InflateZlib, ExpectedSizeThatCannotBeReservedIsRefused) {
    const Bytes stream = zlibCompress(textContent(100), 6);
    std::vector<size_t> sizes = {SIZE_MAX, Bytes().max_size() + 1};
    if (!kSanitizedAllocator)
        sizes.push_back(size_t{1} << 62); // within max_size(): the allocation itself fails
    for (size_t expected : sizes) {
        Bytes out;
        bool result = true;
        EXPECT_NO_THROW(result = decode(stream, expected, out)) << expected;
        EXPECT_FALSE(result);
    }
}

TEST(InflateZlib, TrailerIsTheLastFourBytes) {
    const Bytes content = textContent(5000, 9);
    const Bytes stream = zlibCompress(content, 6);
    const Bytes trailer(stream.end() - 4, stream.end());
    Bytes out;

    Bytes damaged = stream;
    damaged.back() ^= 0x01;
    EXPECT_FALSE(decode(damaged, content.size(), out));

    Bytes extra = stream;
    extra.push_back(0);
    EXPECT_FALSE(decode(extra, content.size(), out));

    // Whatever lies between the final block and the last four bytes is never read.
    for (const Bytes& tail : {trailer, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}}) {
        Bytes longer = stream;
        longer.insert(longer.end(), tail.begin(), tail.end());
        if (tail != trailer) longer.insert(longer.end(), trailer.begin(), trailer.end());
        EXPECT_TRUE(decode(longer, content.size(), out));
        EXPECT_TRUE(out == content);
    }
}

TEST(InflateZlib, StreamCutAtAnyByteIsRefused) {
    const Bytes content = textContent(6000, 10);
    const struct {
        const char* name;
        Bytes stream;
    } streams[] = {
        {"stored", zlibCompress(content, 0)},
        {"fixed", zlibCompress(content, 6, Z_FIXED)},
        {"dynamic", zlibCompress(content, 9)},
        {"flushed", zlibCompress(content, 6, Z_DEFAULT_STRATEGY, 15, Z_SYNC_FLUSH, 700)}};
    for (const auto& s : streams) {
        SCOPED_TRACE(s.name);
        Bytes out;
        ASSERT_TRUE(decode(s.stream, content.size(), out));
        for (size_t cut = 0; cut < s.stream.size(); ++cut) {
            // A fresh buffer per cut, so the sanitizers see any read past the cut.
            const Bytes prefix(s.stream.begin(), s.stream.begin() + static_cast<ptrdiff_t>(cut));
            EXPECT_FALSE(inflateZlib(prefix.data(), prefix.size(), content.size(), out)) << cut;
        }
    }
}

// ---- blocks built by hand ---------------------------------------------------------------------

TEST(InflateZlib, StoredBlocks) {
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    const Bytes twice = {'h', 'e', 'l', 'l', 'o', 'h', 'e', 'l', 'l', 'o'};
    const struct {
        const char* name;
        const char* deflate;
        Bytes content;
        bool accepted;
    } cases[] = {
        {"one block", "01 05 00 FA FF 68 65 6C 6C 6F", hello, true},
        {"two blocks", "00 05 00 FA FF 68 65 6C 6C 6F 01 05 00 FA FF 68 65 6C 6C 6F", twice, true},
        {"no final block", "02 00 05 00 FA FF 68 65 6C 6C 6F", hello, false},
        {"NLEN not the complement", "01 05 00 FA FE 68 65 6C 6C 6F", hello, false},
        {"LEN past the data", "01 06 00 F9 FF 68 65 6C 6C 6F", hello, false},
        {"LEN header cut", "01 05 00 FA", {}, false},
        {"largest LEN, no data", "01 FF FF 00 00", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = zlibWrap(hex(c.deflate), c.content);
        Bytes out;
        EXPECT_EQ(decode(stream, c.content.size(), out), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(out == c.content);
            EXPECT_TRUE(zlibUncompress(stream, c.content.size()) == c.content);
        }
    }

    // A non-final fixed block holding only its end code (3 bits + 7 bits), then a stored block
    // that starts at the next byte boundary.
    BitWriter w;
    w.value(0, 1);
    w.value(1, 2);
    w.fixedSymbol(256);
    w.value(1, 1);
    w.value(0, 2);
    w.used = 0;
    for (uint8_t b : hex("05 00 FA FF 68 65 6C 6C 6F"))
        w.value(b, 8);
    Bytes out;
    EXPECT_TRUE(decode(zlibWrap(w.bytes, hello), hello.size(), out));
    EXPECT_TRUE(out == hello);
    EXPECT_FALSE(decode(zlibWrap(w.bytes, hello), 4, out)) << "stored length beyond the size";
}

struct Symbol {
    int literalOrLength; // 0 to 287
    int extra = 0;       // extra bits of the length
    int extraBits = 0;
    int distance = -1; // distance symbol, -1 for none
    int distanceExtra = 0;
    int distanceExtraBits = 0;
};

Bytes fixedBlock(const std::vector<Symbol>& symbols) {
    BitWriter w;
    w.value(1, 1);
    w.value(1, 2);
    for (const Symbol& s : symbols) {
        w.fixedSymbol(s.literalOrLength);
        w.value(s.extra, s.extraBits);
        if (s.distance >= 0) {
            w.fixedDistance(s.distance);
            w.value(s.distanceExtra, s.distanceExtraBits);
        }
    }
    w.fixedSymbol(256);
    return w.bytes;
}

Bytes repeat(char c, size_t n) {
    return Bytes(n, static_cast<uint8_t>(c));
}

TEST(InflateZlib, FixedBlockDistancesAndSymbols) {
    const struct {
        const char* name;
        std::vector<Symbol> symbols;
        Bytes content;
        bool accepted;
    } cases[] = {
        {"distance equal to the output",
         {{'a'}, {'b'}, {257, 0, 0, 1}},
         {'a', 'b', 'a', 'b', 'a'},
         true},
        {"distance one more", {{'a'}, {'b'}, {257, 0, 0, 2}}, {'a', 'b', 'a', 'b', 'a'}, false},
        {"copy before any output", {{257, 0, 0, 0}}, {0, 0, 0}, false},
        {"distance 1, length 258", {{'x'}, {285, 0, 0, 0}}, repeat('x', 259), true},
        {"length and distance extra bits", // length 11 + 1, distance 7 + 1
         {{'a'}, {'b'}, {'c'}, {'d'}, {'e'}, {'f'}, {'g'}, {'h'}, {265, 1, 1, 5, 1, 1}},
         {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'a', 'b',
          'c', 'd', 'e', 'f', 'g', 'h', 'a', 'b', 'c', 'd'},
         true},
        {"literal symbol 255", {{255}, {144}, {143}}, {255, 144, 143}, true},
        {"length symbol 286", {{'a'}, {286, 0, 0, 0}}, {'a', 'a', 'a', 'a'}, false},
        {"length symbol 287", {{'a'}, {287, 0, 0, 0}}, {'a', 'a', 'a', 'a'}, false},
        {"distance symbol 30", {{'a'}, {257, 0, 0, 30}}, {'a', 'a', 'a', 'a'}, false},
        {"distance symbol 31", {{'a'}, {257, 0, 0, 31}}, {'a', 'a', 'a', 'a'}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = zlibWrap(fixedBlock(c.symbols), c.content);
        Bytes out;
        EXPECT_EQ(decode(stream, c.content.size(), out), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(out == c.content);
            EXPECT_TRUE(zlibUncompress(stream, c.content.size()) == c.content) << "fixture";
        }
    }
}

// A dynamic block: its header written from the given pieces, then symbols in its own codes.
struct DynamicBlock {
    Bytes lengths;  // literal/length lengths (HLIT of them), then distance lengths
    int hlit = 0;   // literal/length count, 257 to 288
    int hdist = 0;  // distance count, 1 to 32
    Bytes codeCode; // lengths of the code-length code, 19 entries in symbol order
    std::vector<std::pair<int, int>> tokens; // code-length symbols with their extra bits
    std::vector<Symbol> symbols;
    std::vector<std::pair<unsigned, int>> rawCodes; // written after the symbols: code, length

    // The lengths as plain code-length symbols, no runs.
    void plainTokens() {
        tokens.clear();
        for (uint8_t l : lengths)
            tokens.push_back({l, 0});
    }

    Bytes deflate() const {
        static const int kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
        static const int kTokenExtra[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 2, 3, 7};
        BitWriter w;
        w.value(1, 1);
        w.value(2, 2);
        w.value(hlit - 257, 5);
        w.value(hdist - 1, 5);
        w.value(19 - 4, 4);
        for (int s : kOrder)
            w.value(codeCode[s], 3);
        const std::vector<unsigned> cc = canonicalCodes(codeCode);
        for (auto [symbol, extra] : tokens) {
            w.code(cc[symbol], codeCode[symbol]);
            w.value(extra, kTokenExtra[symbol]);
        }
        if (lengths.size() != static_cast<size_t>(hlit + hdist))
            return w.bytes; // refused while its header is read
        const Bytes lit(lengths.begin(), lengths.begin() + hlit);
        const Bytes dist(lengths.begin() + hlit, lengths.end());
        const std::vector<unsigned> lc = canonicalCodes(lit), dc = canonicalCodes(dist);
        auto put = [&](int s) { w.code(lc[s], lit[s]); };
        for (const Symbol& s : symbols) {
            put(s.literalOrLength);
            w.value(s.extra, s.extraBits);
            if (s.distance >= 0) {
                w.code(dc[s.distance], dist[s.distance]);
                w.value(s.distanceExtra, s.distanceExtraBits);
            }
        }
        for (auto [code, length] : rawCodes)
            w.code(code, length);
        put(256);
        return w.bytes;
    }
};

// literal/length lengths for 'a', 'b', end and length 3, each 2 bits (a complete code), then
// one distance code of length 1 (distance 1) and zeros for the other distances.
DynamicBlock smallDynamic(int hlit = 258, int hdist = 1) {
    DynamicBlock d;
    d.hlit = hlit;
    d.hdist = hdist;
    d.lengths.assign(hlit + hdist, 0);
    d.lengths['a'] = d.lengths['b'] = d.lengths[256] = d.lengths[257] = 2;
    d.lengths[hlit] = 1;
    d.codeCode.assign(19, 5); // 0 to 12 of length 4, 13 to 18 of length 5: complete
    for (int s = 0; s <= 12; ++s)
        d.codeCode[s] = 4;
    d.plainTokens();
    d.symbols = {{'a'}, {'b'}, {'a'}, {257, 0, 0, 0}};
    return d;
}

TEST(InflateZlib, DynamicBlockHeaders) {
    const Bytes abaaaa = {'a', 'b', 'a', 'a', 'a', 'a'};
    struct Case {
        const char* name;
        DynamicBlock block;
        bool accepted;
        bool zlibAccepts; // the decoder is more lenient than zlib on incomplete codes only
        Bytes content;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, const DynamicBlock& block, bool accepted, bool zlibAccepts,
                   const Bytes& content) {
        cases.push_back({name, block, accepted, zlibAccepts, content});
    };
    add("single distance code of length 1", smallDynamic(), true, true, abaaaa);
    {
        DynamicBlock d = smallDynamic();
        d.hlit = 260;
        d.hdist = 2;
        d.lengths.assign(262, 0);
        d.lengths['a'] = d.lengths['b'] = d.lengths[256] = d.lengths[257] = 2;
        d.lengths[261] = 1;
        // zeros by both run symbols, the last run crossing from 258 and 259 into distance 0
        d.tokens = {{18, 97 - 11}, {2, 0}, {2, 0},  {18, 138 - 11}, {18, 19 - 11},
                    {2, 0},        {2, 0}, {17, 0}, {1, 0}};
        d.symbols = {{'a'}, {'b'}, {'a'}, {257, 0, 0, 1}};
        add("runs, one crossing into the distances", d, true, true, {'a', 'b', 'a', 'b', 'a', 'b'});
    }
    {
        DynamicBlock d = smallDynamic();
        d.lengths['a'] = d.lengths['b'] = 1;
        d.lengths[256] = d.lengths[257] = 0;
        d.plainTokens();
        d.symbols = {};
        add("end of block without a code", d, false, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.tokens.insert(d.tokens.begin(), {16, 0});
        add("repeat before any length", d, false, false, abaaaa);
    }
    // Whole, otherwise decodable blocks, so that only the count itself can refuse them.
    add("HLIT field 30", smallDynamic(287), false, false, abaaaa);
    add("HLIT field 31", smallDynamic(288), false, false, abaaaa);
    add("HDIST field 30", smallDynamic(258, 31), false, false, abaaaa);
    add("HDIST field 31", smallDynamic(258, 32), false, false, abaaaa);
    {
        DynamicBlock d = smallDynamic(258, 2); // distance lengths 1, 0
        d.tokens.back() = {17, 0};             // three zeros where one length is left
        add("run past the last length", d, false, false, abaaaa);
        d.lengths.back() = 1; // distance lengths 1, 1
        d.tokens.back() = {16, 0};
        add("repeat past the last length", d, false, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.lengths['c'] = 2;
        d.plainTokens();
        add("literal/length code over-subscribed", d, false, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.codeCode[13] = 4;
        add("code-length code over-subscribed", d, false, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.hdist = 3;
        d.lengths.insert(d.lengths.end(), {1, 1});
        d.plainTokens();
        add("distance code over-subscribed", d, false, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.lengths[258] = 0;
        d.plainTokens();
        d.symbols = {{'a'}, {'b'}, {'a'}, {'a'}, {'a'}, {'a'}};
        add("no distance code at all", d, true, true, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.codeCode.assign(19, 5); // 19 of the 32 five-bit codes
        add("incomplete code-length code", d, true, false, abaaaa);
    }
    {
        DynamicBlock d = smallDynamic();
        d.lengths[257] = 0; // 'a', 'b' and the end take three of the four 2-bit codes
        d.lengths[258] = 2; // one distance code of length 2
        d.plainTokens();
        d.symbols = {{'a'}, {'b'}, {'a'}, {'a'}, {'a'}, {'a'}};
        add("incomplete literal/length and distance codes", d, true, false, abaaaa);
        d.symbols.pop_back();
        d.rawCodes = {{3, 2}};
        add("the unused code of an incomplete code", d, false, false, abaaaa);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = zlibWrap(c.block.deflate(), c.content);
        Bytes out;
        EXPECT_EQ(decode(stream, c.content.size(), out), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(out == c.content);
        }
        EXPECT_EQ(zlibUncompress(stream, c.content.size()) == c.content, c.zlibAccepts)
            << "fixture";
    }
}

// ---- the pieces -------------------------------------------------------------------------------

TEST(HuffmanTable, DecodesTheCanonicalCode) {
    // lengths 3, 3, 3, 3, 3, 2, 4, 4 give A 010, B 011, C 100, D 101, E 110, F 00, G 1110, H 1111
    const Bytes lengths = {3, 3, 3, 3, 3, 2, 4, 4};
    HuffmanTable table;
    ASSERT_TRUE(buildHuffman(table, lengths.data(), 8));
    EXPECT_EQ(table.count[0], 0);
    EXPECT_EQ(table.count[2], 1);
    EXPECT_EQ(table.count[3], 5);
    EXPECT_EQ(table.count[4], 2);

    const std::vector<unsigned> codes = canonicalCodes(lengths);
    const int message[] = {5, 0, 2, 4, 6, 7, 1, 3, 5};
    BitWriter w;
    for (int s : message)
        w.code(codes[s], lengths[s]);
    BitReader in;
    in.data = w.bytes.data();
    in.size = w.bytes.size();
    for (int s : message)
        EXPECT_EQ(in.decodeSymbol(table), s);
    EXPECT_FALSE(in.overrun);

    // The five bits left in the last byte are zeros, and F is 00. The third F takes its second
    // bit from past the end, which reads as 0 and marks the overrun; after that nothing decodes.
    EXPECT_EQ(in.decodeSymbol(table), 5);
    EXPECT_EQ(in.decodeSymbol(table), 5);
    EXPECT_FALSE(in.overrun);
    EXPECT_EQ(in.decodeSymbol(table), 5);
    EXPECT_TRUE(in.overrun);
    EXPECT_EQ(in.decodeSymbol(table), -1);
}

TEST(HuffmanTable, RefusesOverSubscribedAcceptsIncomplete) {
    const struct {
        Bytes lengths;
        bool built;
    } cases[] = {{{1, 1}, true},
                 {{1, 1, 1}, false},
                 {{0, 0, 0}, true},
                 {{1}, true},
                 {{2, 2, 2}, true},
                 {{2, 2, 2, 2, 2}, false},
                 {Bytes(19, 5), true},
                 {Bytes(33, 5), false},
                 {{15}, true},
                 {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15}, true},
                 {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 15}, false}};
    for (const auto& c : cases) {
        HuffmanTable table;
        EXPECT_EQ(buildHuffman(table, c.lengths.data(), static_cast<int>(c.lengths.size())),
                  c.built)
            << ::testing::PrintToString(c.lengths);
    }

    // An empty code decodes nothing; a one-code code of length 1 decodes its 0 and refuses 1.
    HuffmanTable table;
    const Bytes one = {0, 1};
    ASSERT_TRUE(buildHuffman(table, one.data(), 2));
    const uint8_t data[] = {0b10};
    BitReader in;
    in.data = data;
    in.size = 1;
    EXPECT_EQ(in.decodeSymbol(table), 1);
    EXPECT_EQ(in.decodeSymbol(table), -1);
}

TEST(BitReader, ReadsLowestBitFirstAndZerosPastTheEnd) {
    const uint8_t data[] = {0b10110101, 0b01100011};
    BitReader in;
    in.data = data;
    in.size = 2;
    EXPECT_EQ(in.bits(1), 1u);
    EXPECT_EQ(in.bits(2), 0b10u);
    EXPECT_EQ(in.bits(0), 0u);
    EXPECT_EQ(in.bits(9), 0b0011'10110u); // 5 bits of the first byte, then 4 of the second
    EXPECT_EQ(in.bitCount, 4);
    EXPECT_FALSE(in.overrun);
    EXPECT_EQ(in.bits(6), 0b0110u); // 4 bits left, then two zeros
    EXPECT_TRUE(in.overrun);
    EXPECT_EQ(in.bitCount, 0);
    EXPECT_EQ(in.pos, 2u);
}

// One block decoded through the block-level entry points, by a caller that reads the block
// header itself: the output keeps what it held, the reader ends right after the block, and a
// block that needs one byte more than the room left is refused.
TEST(InflateBlocks, OneBlockAppendsAfterWhatTheOutputHeld) {
    Bytes fixedLengths(288 + 30);
    std::fill(fixedLengths.begin(), fixedLengths.begin() + 144, 8);
    std::fill(fixedLengths.begin() + 144, fixedLengths.begin() + 256, 9);
    std::fill(fixedLengths.begin() + 256, fixedLengths.begin() + 280, 7);
    std::fill(fixedLengths.begin() + 280, fixedLengths.begin() + 288, 8);
    std::fill(fixedLengths.begin() + 288, fixedLengths.end(), 5);
    HuffmanTable lengthCodes, distanceCodes;
    ASSERT_TRUE(buildHuffman(lengthCodes, fixedLengths.data(), 288));
    ASSERT_TRUE(buildHuffman(distanceCodes, fixedLengths.data() + 288, 30));

    const Bytes content = textContent(20000, 5);
    for (int strategy : {Z_FIXED, Z_DEFAULT_STRATEGY}) {
        SCOPED_TRACE(strategy == Z_FIXED ? "fixed codes" : "dynamic codes");
        // Raw deflate, one final block, then a marker byte the reader must stop before.
        Bytes block = zlibCompress(content, 6, strategy, -15);
        block.push_back(0xA5);
        auto decodeBlock = [&](BitReader& in, Bytes& out, size_t expected) {
            in.data = block.data();
            in.size = block.size();
            EXPECT_EQ(in.bits(1), 1u);
            if (in.bits(2) == 1) return inflateCodes(in, out, expected, lengthCodes, distanceCodes);
            return inflateDynamic(in, out, expected);
        };

        BitReader in;
        Bytes out = {'<', '>'};
        ASSERT_TRUE(decodeBlock(in, out, content.size() + 2));
        EXPECT_TRUE(Bytes(out.begin() + 2, out.end()) == content);
        EXPECT_EQ(out[0], '<');
        EXPECT_FALSE(in.overrun);
        in.bits(in.bitCount); // the rest of the block's last byte
        EXPECT_EQ(in.bits(8), 0xA5u);

        BitReader again;
        Bytes small;
        EXPECT_FALSE(decodeBlock(again, small, content.size() - 1));
    }
}

// ---- the fixed tables, met by two threads at once ---------------------------------------------

// Runs in a fresh process (see below), so that these two threads are the first to meet a fixed
// block and build the shared tables while the other one waits for them.
[[noreturn]] void twoThreadsMeetTheFirstFixedBlock() {
    const Bytes content = textContent(200000, 12);
    const Bytes stream = zlibCompress(content, 6, Z_FIXED);
    // The threads meet at a condition variable: std::latch never wakes its waiters with
    // mingw-w64's C++ library (GCC 12).
    std::mutex mutex;
    std::condition_variable bothThere;
    int arrived = 0;
    Bytes results[2];
    bool ok[2] = {};
    auto work = [&](int i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (++arrived == 2) bothThere.notify_all();
            bothThere.wait(lock, [&] { return arrived == 2; });
        }
        ok[i] = decode(stream, content.size(), results[i]);
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    std::exit(ok[0] && ok[1] && results[0] == content && results[1] == content ? 0 : 1);
}

TEST(InflateZlibThreads, TwoThreadsMeetTheFirstFixedBlockAtOnce) {
    // The "threadsafe" style starts this test binary again for the statement alone, so no
    // earlier test has built the fixed tables in that process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(twoThreadsMeetTheFirstFixedBlock(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace qv::launcher
