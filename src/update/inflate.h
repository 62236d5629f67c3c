#pragma once
// The launcher's own zlib decoder: every downloaded object is one zlib stream holding one file,
// decoded in memory to exactly the size the manifest lists. The decoder reads one bit at a time
// through canonical Huffman codes, refuses anything malformed and never writes past that size.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::launcher {

// A canonical Huffman code as the decoder walks it: how many codes each length has, and the
// symbols in code order (by length, then by symbol value). No lookup table is built, so one
// table is small enough to live on the stack.
struct HuffmanTable {
    uint16_t count[16];   // count[len]: codes of length len (1 to 15); count[0] is always 0
    uint16_t symbol[320]; // the symbols that have a code, in canonical order
};

// Reading position in the deflate data of one stream. Bits come out of each byte lowest first;
// a bit wanted after the last byte reads as 0 and sets `overrun`, which fails the stream.
struct BitReader {
    const uint8_t* data = nullptr; // first deflate byte (after the 2-byte zlib header)
    size_t size = 0;               // deflate bytes: the input minus its header and trailer
    size_t pos = 0;                // next byte to load
    uint32_t bitBuffer = 0;        // unused bits of the last loaded byte, next bit lowest
    int bitCount = 0;              // bits held in bitBuffer, 0 to 7
    bool overrun = false;          // a bit was wanted past the end of the data

    // n bits (0 to 16), the first one read being the least significant.
    uint32_t bits(int n);
    // The next symbol of the code, or -1 for a bit pattern the code does not use.
    int decodeSymbol(const HuffmanTable& table);
};

// Builds the canonical table for n symbols (at most 320) with the given code lengths (0 to 15,
// 0 meaning "no code"). False when the lengths over-subscribe the code space; an incomplete code
// is accepted, and its unused patterns fail when they are met.
bool buildHuffman(HuffmanTable& table, const uint8_t* lengths, int n);

// Decodes the symbols of one block, appending to out, until its end-of-block symbol (true),
// refusing bad symbols, distances before the first output byte and any byte beyond `expected`
// (false).
bool inflateCodes(BitReader& in, std::vector<uint8_t>& out, size_t expected,
                  const HuffmanTable& lengthCodes, const HuffmanTable& distanceCodes);

// Reads a dynamic block's code description, builds its codes and decodes the block.
bool inflateDynamic(BitReader& in, std::vector<uint8_t>& out, size_t expected);

// Decodes one whole zlib stream. True when the input is one valid stream whose content has
// exactly `expected` bytes and whose Adler-32 matches; out then holds the content. On false the
// contents of out are unspecified. Never throws: an expected size that cannot be reserved gives
// false.
bool inflateZlib(const uint8_t* input, size_t size, size_t expected, std::vector<uint8_t>& out);

} // namespace qv::launcher
