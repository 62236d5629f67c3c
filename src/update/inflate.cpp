#include "update/inflate.h"

#include "base/adler32.h"

#include <algorithm>
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

bool storedBlock(BitReader& in, std::vector<uint8_t>& out, size_t expected) {
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
    if (length > in.size - in.pos || length > expected - out.size()) return false;
    out.insert(out.end(), in.data + in.pos, in.data + in.pos + length);
    in.pos += length;
    return true;
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

inline int readSymbol(BitReader& in, const HuffmanTable& table) {
    // Canonical decoding. The codes of one length are consecutive numbers and their symbols sit
    // consecutively in the table, so only the code's offset past the first code of its length
    // is kept: it is below that length's count exactly when the code is complete, and its
    // symbol is then `index` (the symbols of all shorter lengths) plus the offset.
    //
    // The bits of a loaded byte are walked in an inner loop, and the limit of 15 bits is
    // checked only where a byte is loaded: `left` never runs past the 15th bit. With len bits
    // used, the bits left over from the byte are (bitCount - len) & 7.
    uint32_t buffer = in.bitBuffer;
    int left = in.bitCount;
    unsigned offset = 0, index = 0;
    int len = 1;
    const uint16_t* count = table.count + 1;
    for (;;) {
        for (; left > 0; --left, ++len) {
            offset |= buffer & 1;
            buffer >>= 1;
            const unsigned c = *count++;
            if (offset < c) {
                in.bitBuffer = buffer;
                in.bitCount = (in.bitCount - len) & 7;
                return table.symbol[index + offset];
            }
            index += c;
            offset = (offset - c) << 1;
        }
        left = kMaxBits + 1 - len;
        if (left == 0) break;
        if (in.pos == in.size) {
            // The wanted bit lies past the end and reads as 0. Once past the end every later bit
            // is wanted there too, so the code ends here: with this bit, or with -1.
            in.overrun = true;
            in.bitBuffer = 0;
            in.bitCount = 0;
            return offset < *count ? table.symbol[index + offset] : -1;
        }
        buffer = in.data[in.pos++];
        left = std::min(left, 8);
    }
    in.bitBuffer = buffer;
    in.bitCount = (in.bitCount - kMaxBits) & 7;
    return -1;
}

} // namespace

uint32_t BitReader::bits(int n) {
    return readBits(*this, n);
}

int BitReader::decodeSymbol(const HuffmanTable& table) {
    return readSymbol(*this, table);
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

bool inflateCodes(BitReader& reader, std::vector<uint8_t>& out, size_t expected,
                  const HuffmanTable& lengthCodes, const HuffmanTable& distanceCodes) {
    // Decode on a private copy of the reader: nothing can alias it, so its state stays in
    // registers through the output's byte stores.
    BitReader in = reader;
    bool ended = false;
    for (;;) {
        const int symbol = readSymbol(in, lengthCodes);
        if (symbol < 0) break;
        if (symbol < 256) {
            if (out.size() == expected) break;
            out.push_back(static_cast<uint8_t>(symbol));
            continue;
        }
        if (symbol == 256) {
            ended = true;
            break;
        }
        if (symbol > 285) break;
        const size_t length = kLengthBase[symbol - 257] + readBits(in, kLengthExtra[symbol - 257]);
        const int distanceSymbol = readSymbol(in, distanceCodes);
        if (distanceSymbol < 0 || distanceSymbol >= 30) break;
        const size_t distance =
            kDistanceBase[distanceSymbol] + readBits(in, kDistanceExtra[distanceSymbol]);
        if (distance > out.size() || length > expected - out.size() || in.overrun) break;
        // Byte by byte, so a copy that overlaps its own output repeats the pattern.
        const size_t from = out.size() - distance;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t byte = out[from + i];
            out.push_back(byte);
        }
    }
    reader = in;
    return ended;
}

bool inflateDynamic(BitReader& in, std::vector<uint8_t>& out, size_t expected) {
    const int lengthCount = static_cast<int>(in.bits(5)) + 257;
    const int distanceCount = static_cast<int>(in.bits(5)) + 1;
    const int codeLengthCount = static_cast<int>(in.bits(4)) + 4;
    if (lengthCount > kMaxLengths || distanceCount > kMaxDistances) return false;

    uint8_t lengths[320] = {};
    for (int i = 0; i < codeLengthCount; ++i)
        lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(in.bits(3));
    HuffmanTable codeLengthCodes;
    if (!buildHuffman(codeLengthCodes, lengths, 19)) return false;

    // One sequence of lengths runs from the literal/length code on into the distance code, and a
    // repeat may cross from one into the other.
    const int total = lengthCount + distanceCount;
    for (int index = 0; index < total;) {
        const int symbol = in.decodeSymbol(codeLengthCodes);
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
            times = 3 + static_cast<int>(in.bits(2));
        } else if (symbol == 17) {
            times = 3 + static_cast<int>(in.bits(3));
        } else {
            times = 11 + static_cast<int>(in.bits(7));
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
    return inflateCodes(in, out, expected, lengthCodes, distanceCodes);
}

bool inflateZlib(const uint8_t* input, size_t size, size_t expected, std::vector<uint8_t>& out) {
    out.clear();
    if (size <= 5) return false;
    const unsigned cmf = input[0], flg = input[1];
    // The window-size nibble is not looked at: the whole output stays addressable anyway.
    if ((cmf & 0x0F) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) return false;

    // One reservation for the whole content; the size tests below keep every append inside it.
    // A size no vector can hold is a damaged download like any other, not an exception.
    try {
        out.reserve(expected);
    } catch (const std::exception&) {
        return false;
    }

    BitReader in;
    in.data = input + 2;
    in.size = size - 6;
    for (;;) {
        const bool last = in.bits(1) != 0;
        bool ok = false;
        switch (in.bits(2)) {
        case 0:
            ok = storedBlock(in, out, expected);
            break;
        case 1: {
            const FixedTables& fixed = fixedTables();
            ok = inflateCodes(in, out, expected, fixed.lengthCodes, fixed.distanceCodes);
            break;
        }
        case 2:
            ok = inflateDynamic(in, out, expected);
            break;
        default:
            return false;
        }
        if (!ok || in.overrun) return false;
        if (last) break;
    }
    if (out.size() != expected) return false;
    const uint8_t* trailer = input + size - 4;
    const uint32_t stored = uint32_t{trailer[0]} << 24 | uint32_t{trailer[1]} << 16 |
                            uint32_t{trailer[2]} << 8 | uint32_t{trailer[3]};
    return adler32Of(out.data(), out.size()) == stored;
}

} // namespace qv::launcher
