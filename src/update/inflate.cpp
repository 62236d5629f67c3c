#include "update/inflate.h"

#include "base/adler32.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

namespace qv::launcher {
namespace {

constexpr int kMaxBits = 15;     // longest code deflate allows
constexpr int kMaxLengths = 286; // literal/length symbols a dynamic block may describe
constexpr int kMaxDistances = 30;

// Order in which a dynamic block stores the lengths of its code-length code.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length symbols 257 to 285: base length and extra bits.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance symbols 0 to 29: base distance and extra bits.
constexpr uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct FixedTables {
    HuffmanTable lengthCodes;
    HuffmanTable distanceCodes;
};

// The codes of fixed blocks never change, so they are built once per process, on the first fixed
// block any call meets. A function-local static gives exactly one build; a thread that arrives
// while another builds waits for it, and afterwards the tables are only read.
const FixedTables& fixedTables() {
    static const FixedTables tables = [] {
        FixedTables t;
        uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        buildHuffman(t.lengthCodes, lengths, 288);
        std::fill(lengths, lengths + 30, 5);
        buildHuffman(t.distanceCodes, lengths, 30);
        return t;
    }();
    return tables;
}

inline uint32_t readBits(BitReader& in, int n) {
    // The held bits come first, then whole bytes above them: the first bit read ends up lowest.
    uint32_t value = in.bitBuffer;
    int held = in.bitCount;
    while (held < n) {
        if (in.pos == in.size) {
            in.overrun = true; // the missing bits read as the zeros already above `held`
            in.bitBuffer = 0;
            in.bitCount = 0;
            return value;
        }
        value |= uint32_t{in.data[in.pos++]} << held;
        held += 8;
    }
    in.bitBuffer = value >> n;
    in.bitCount = held - n;
    return value & ((1u << n) - 1);
}

// The output as the decoder fills it. Its capacity is reserved once, at the expected size; its
// size runs ahead of the bytes written in doubling steps inside that capacity, so the zero fill
// of a resize only touches bytes about to be written, a damaged stream that promises a large
// file costs no more memory than it decodes, and a vector that already has the size costs
// nothing. Bytes are written through plain pointers kept in locals (see inflateCodes).
struct Output {
    std::vector<uint8_t>& bytes;
    size_t expected;
    size_t written = 0;

    uint8_t* begin() { return bytes.data(); }
    uint8_t* end() { return bytes.data() + bytes.size(); }
    // Makes room for n more bytes after the written ones; false when they would pass the
    // expected size. The storage never moves: the size stays within the reservation.
    bool makeRoom(size_t n) {
        if (n > expected - written) return false;
        if (n > bytes.size() - written)
            bytes.resize(std::min(expected, std::max({written + n, 2 * bytes.size(), kFirstStep})));
        return true;
    }
    static constexpr size_t kFirstStep = size_t{1} << 15;
};

// A BitReader's own bits, one at a time, for decodeSymbol: a bit wanted past the end reads as 0
// and sets `overrun`, which ends a code walk at once.
struct SerialBits {
    BitReader& reader;
    unsigned next() { return readBits(reader, 1); }
    bool overrun() const { return reader.overrun; }
};

// The bits of the deflate data as the blocks are decoded: up to 64 of them in a register,
// refilled with whole bytes once per literal or length/distance pair (at most 48 bits), so that
// no step of a code walk waits for a byte to be loaded. Past the end of the data it fills with
// zeros; whether any of those were taken follows from the count of bits taken, and is checked
// at each refill, before a copy and at the end of each block. A stream that takes one fails
// whatever it decodes from them, so where a code walk stops among them changes no result.
struct WideBits {
    const uint8_t* data;
    size_t size;
    size_t pos;      // next byte to load; runs past size while zeros are filled in
    uint64_t buffer; // the next bit lowest; bits above `count` are zeros or the next bytes
    int count;       // bits held

    explicit WideBits(const BitReader& in)
        : data(in.data), size(in.size), pos(in.pos), buffer(in.bitBuffer), count(in.bitCount) {}

    // Tops the buffer up to at least 56 bits. False once a bit from past the end of the data
    // has been taken: nothing decoded after that can count.
    bool refill() {
        if (pos + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, data + pos, 8);
            if constexpr (std::endian::native == std::endian::big) {
                uint64_t little = 0;
                for (int i = 0; i < 8; ++i)
                    little |= uint64_t{data[pos + i]} << (8 * i);
                word = little;
            }
            buffer |= word << count;
            pos += (63 - count) >> 3;
            count |= 56;
            return true;
        }
        for (; count <= 56; count += 8, ++pos)
            if (pos < size) buffer |= uint64_t{data[pos]} << count;
        return !exhausted();
    }
    unsigned next() {
        const unsigned bit = buffer & 1;
        buffer >>= 1;
        --count;
        return bit;
    }
    uint32_t take(int n) {
        const uint32_t value = static_cast<uint32_t>(buffer & ((uint64_t{1} << n) - 1));
        buffer >>= n;
        count -= n;
        return value;
    }
    // Checked at the refills instead of at every step.
    static constexpr bool overrun() { return false; }
    // Whether a bit from past the end of the data has been taken.
    bool exhausted() const { return pos > size && (pos - size) * 8 > static_cast<size_t>(count); }
    // Hands the position back, the whole bytes still held returned to the data.
    void store(BitReader& in) const {
        if (exhausted()) {
            in.overrun = true;
            in.pos = size;
            in.bitBuffer = 0;
            in.bitCount = 0;
            return;
        }
        in.pos = pos - static_cast<size_t>(count / 8);
        in.bitCount = count % 8;
        in.bitBuffer = static_cast<uint32_t>(buffer & ((1u << in.bitCount) - 1));
    }
};

// The length of a table's shortest code (15 for a table without codes).
int shortestCode(const HuffmanTable& table) {
    int len = 1;
    while (len < kMaxBits && table.count[len] == 0)
        ++len;
    return len;
}

// Canonical decoding, one bit per step. The codes of one length are consecutive numbers, `first`
// being the first of them, and their symbols sit consecutively in the table after those of all
// shorter lengths (`index`); a code is complete at the length where it falls below first plus
// that length's count. Lengths below the shortest code have nothing to compare with, so their
// bits only join the code: every code is at least that long.
template <typename Bits> inline int walkCode(Bits& bits, const HuffmanTable& table, int shortest) {
    int code = 0, len = 1;
    for (; len < shortest; ++len) {
        code = (code | static_cast<int>(bits.next())) << 1;
        if (bits.overrun()) return -1;
    }
    int first = 0, index = 0;
    for (; len <= kMaxBits; ++len) {
        code |= static_cast<int>(bits.next());
        const int count = table.count[len];
        if (code - count < first) return table.symbol[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
        if (bits.overrun()) return -1;
    }
    return -1;
}

bool storedBlock(BitReader& in, Output& out) {
    in.bitBuffer = 0;
    in.bitCount = 0;
    if (in.size - in.pos < 4) return false;
    const uint8_t* header = in.data + in.pos;
    const size_t length = header[0] | header[1] << 8;
    const size_t complement = header[2] | header[3] << 8;
    if (complement != (~length & 0xFFFF)) return false;
    in.pos += 4;
    // The length comes from the stream: compare it with what is left instead of adding it to a
    // position, so no sum can wrap.
    if (length > in.size - in.pos || !out.makeRoom(length)) return false;
    std::copy_n(in.data + in.pos, length, out.begin() + out.written);
    out.written += length;
    in.pos += length;
    return true;
}

// Decodes the symbols of one block until its end-of-block symbol (true), refusing bad symbols,
// distances before the first output byte and any byte beyond the expected size (false).
bool inflateCodes(WideBits& bits, Output& out, const HuffmanTable& lengthCodes,
                  const HuffmanTable& distanceCodes) {
    // The reading state and the write position live in locals that nothing can alias, so they
    // stay in registers through the byte stores.
    WideBits in = bits;
    const int lengthShortest = shortestCode(lengthCodes);
    const int distanceShortest = shortestCode(distanceCodes);
    uint8_t* const begin = out.begin();
    uint8_t* next = begin + out.written;
    uint8_t* end = out.end();
    auto makeRoom = [&](size_t n) {
        out.written = static_cast<size_t>(next - begin);
        if (!out.makeRoom(n)) return false;
        end = out.end();
        return true;
    };
    bool ended = false;
    while (in.refill()) {
        const int symbol = walkCode(in, lengthCodes, lengthShortest);
        if (symbol < 0) break;
        if (symbol < 256) {
            if (next == end && !makeRoom(1)) break;
            *next++ = static_cast<uint8_t>(symbol);
            continue;
        }
        if (symbol == 256) {
            ended = true;
            break;
        }
        if (symbol > 285) break;
        const size_t length = kLengthBase[symbol - 257] + in.take(kLengthExtra[symbol - 257]);
        const int distanceSymbol = walkCode(in, distanceCodes, distanceShortest);
        if (distanceSymbol < 0 || distanceSymbol >= 30) break;
        const size_t distance =
            kDistanceBase[distanceSymbol] + in.take(kDistanceExtra[distanceSymbol]);
        if (distance > static_cast<size_t>(next - begin) || in.exhausted()) break;
        if (length > static_cast<size_t>(end - next) && !makeRoom(length)) break;
        // Byte by byte, so a copy that overlaps its own output repeats the pattern, eight bytes a
        // round to keep the loop's own counting small beside the copying. Such a copy repeats its
        // first `distance` bytes, so a byte may as well be read a whole number of distances
        // further back: each round reads at its own place in those first bytes (j, which is i
        // modulo the distance). Its loads then lie before the round's own stores, and a short
        // distance no longer makes every load wait for the store just before it. A copy that
        // does not overlap reads exactly the bytes the distance back.
        const uint8_t* from = next - distance;
        size_t i = 0, j = 0;
        for (; i + 8 <= length; i += 8) {
            next[i] = from[j];
            next[i + 1] = from[j + 1];
            next[i + 2] = from[j + 2];
            next[i + 3] = from[j + 3];
            next[i + 4] = from[j + 4];
            next[i + 5] = from[j + 5];
            next[i + 6] = from[j + 6];
            next[i + 7] = from[j + 7];
            for (j += 8; j >= distance;)
                j -= distance;
        }
        for (; i < length; ++i, ++j)
            next[i] = from[j];
        next += length;
    }
    out.written = static_cast<size_t>(next - begin);
    bits = in;
    return ended;
}

// Reads a dynamic block's code description, builds its codes and decodes the block.
bool inflateDynamic(WideBits& in, Output& out) {
    in.refill();
    const int lengthCount = static_cast<int>(in.take(5)) + 257;
    const int distanceCount = static_cast<int>(in.take(5)) + 1;
    const int codeLengthCount = static_cast<int>(in.take(4)) + 4;
    if (lengthCount > kMaxLengths || distanceCount > kMaxDistances) return false;

    uint8_t lengths[320] = {};
    for (int i = 0; i < codeLengthCount; ++i) {
        in.refill();
        lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(in.take(3));
    }
    HuffmanTable codeLengthCodes;
    if (!buildHuffman(codeLengthCodes, lengths, 19)) return false;
    const int shortest = shortestCode(codeLengthCodes);

    // One sequence of lengths runs from the literal/length code on into the distance code, and a
    // repeat may cross from one into the other.
    const int total = lengthCount + distanceCount;
    for (int index = 0; index < total;) {
        if (!in.refill()) return false;
        const int symbol = walkCode(in, codeLengthCodes, shortest);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[index++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t repeated = 0;
        int times;
        if (symbol == 16) {
            if (index == 0) return false; // nothing to repeat
            repeated = lengths[index - 1];
            times = 3 + static_cast<int>(in.take(2));
        } else if (symbol == 17) {
            times = 3 + static_cast<int>(in.take(3));
        } else {
            times = 11 + static_cast<int>(in.take(7));
        }
        if (times > total - index) return false;
        std::fill(lengths + index, lengths + index + times, repeated);
        index += times;
    }

    if (lengths[256] == 0) return false; // a block that could never end

    HuffmanTable lengthCodes, distanceCodes;
    if (!buildHuffman(lengthCodes, lengths, lengthCount) ||
        !buildHuffman(distanceCodes, lengths + lengthCount, distanceCount))
        return false;
    return inflateCodes(in, out, lengthCodes, distanceCodes);
}

// Decodes the blocks up to and including the final one; false at the first that fails or that
// reads past the end of the data.
bool inflateBlocks(BitReader& reader, Output& out) {
    for (;;) {
        WideBits in(reader);
        in.refill();
        const bool last = in.take(1) != 0;
        bool ok = false;
        switch (in.take(2)) {
        case 0: // starts at the next whole byte, which the reader holds
            in.store(reader);
            ok = !reader.overrun && storedBlock(reader, out);
            break;
        case 1: {
            const FixedTables& fixed = fixedTables();
            ok = inflateCodes(in, out, fixed.lengthCodes, fixed.distanceCodes);
            in.store(reader);
            break;
        }
        case 2:
            ok = inflateDynamic(in, out);
            in.store(reader);
            break;
        default:
            return false;
        }
        if (!ok || reader.overrun) return false;
        if (last) return true;
    }
}

} // namespace

namespace {

// One block kind decoded for a caller that holds a BitReader and a growing vector: the reading
// position goes over into the wide buffer and back, and the output keeps what it held before.
template <typename DecodeBlock>
bool decodeOneBlock(BitReader& in, std::vector<uint8_t>& out, size_t expected, DecodeBlock decode) {
    if (out.size() > expected) return false;
    try {
        out.reserve(expected); // the decoder's pointers rely on the storage never moving
    } catch (const std::exception&) {
        return false;
    }
    Output output{out, expected, out.size()};
    WideBits bits(in);
    const bool ok = decode(bits, output);
    bits.store(in);
    out.resize(output.written);
    return ok && !in.overrun;
}

} // namespace

bool inflateCodes(BitReader& in, std::vector<uint8_t>& out, size_t expected,
                  const HuffmanTable& lengthCodes, const HuffmanTable& distanceCodes) {
    return decodeOneBlock(in, out, expected, [&](WideBits& bits, Output& output) {
        return inflateCodes(bits, output, lengthCodes, distanceCodes);
    });
}

bool inflateDynamic(BitReader& in, std::vector<uint8_t>& out, size_t expected) {
    return decodeOneBlock(in, out, expected, [](WideBits& bits, Output& output) {
        return inflateDynamic(bits, output);
    });
}

uint32_t BitReader::bits(int n) {
    return readBits(*this, n);
}

int BitReader::decodeSymbol(const HuffmanTable& table) {
    SerialBits bits{*this};
    return walkCode(bits, table, shortestCode(table));
}

bool buildHuffman(HuffmanTable& table, const uint8_t* lengths, int n) {
    if (n < 0 || n > 320) return false;
    std::fill(std::begin(table.count), std::end(table.count), 0);
    for (int i = 0; i < n; ++i) {
        if (lengths[i] > kMaxBits) return false;
        ++table.count[lengths[i]];
    }
    table.count[0] = 0;

    int left = 1; // codes still free at the current length
    for (int len = 1; len <= kMaxBits; ++len) {
        left = 2 * left - table.count[len];
        if (left < 0) return false; // over-subscribed
    }

    uint16_t next[kMaxBits + 1];
    next[1] = 0;
    for (int len = 1; len < kMaxBits; ++len)
        next[len + 1] = next[len] + table.count[len];
    for (int i = 0; i < n; ++i)
        if (lengths[i] != 0) table.symbol[next[lengths[i]]++] = static_cast<uint16_t>(i);
    return true;
}

bool inflateZlib(const uint8_t* input, size_t size, size_t expected, std::vector<uint8_t>& out) {
    if (size <= 5) {
        out.clear();
        return false;
    }
    const unsigned cmf = input[0], flg = input[1];
    // The window-size nibble is not looked at: the whole output stays addressable anyway.
    if ((cmf & 0x0F) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) {
        out.clear();
        return false;
    }

    // One reservation for the whole content; the size tests keep every write inside it. A size
    // no vector can hold is a damaged download like any other, not an exception. What the vector
    // held before is of no use, but a vector that is already large enough keeps its size, so
    // that decoding into it again costs no zero fill.
    if (out.capacity() < expected) {
        out.clear();
        try {
            out.reserve(expected);
        } catch (const std::exception&) {
            return false;
        }
    }
    if (out.size() > expected) out.resize(expected);

    Output output{out, expected};
    BitReader in;
    in.data = input + 2;
    in.size = size - 6;
    const bool decoded = inflateBlocks(in, output);
    out.resize(output.written); // never grows: only what was decoded stays
    if (!decoded || out.size() != expected) return false;
    const uint8_t* trailer = input + size - 4;
    const uint32_t stored = uint32_t{trailer[0]} << 24 | uint32_t{trailer[1]} << 16 |
                            uint32_t{trailer[2]} << 8 | uint32_t{trailer[3]};
    return adler32Of(out.data(), out.size()) == stored;
}

} // namespace qv::launcher
