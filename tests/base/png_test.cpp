// The PNG writer: the exact bytes of a tiny file, the stored-block split, refusals and failures
// with their log lines, and real decoding by libpng (with zlib checking the stream).

#include "base/log.h"
#include "base/png.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "png_pixels.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

Bytes readBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

std::uint32_t be32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
           std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The raw data the stream must carry: a filter byte 0 before each row, top row first.
Bytes rawRows(const Bytes& pixels, int width, int height, int channels, bool flip) {
    const std::size_t rowBytes = std::size_t(width) * channels;
    Bytes raw;
    for (int r = 0; r < height; ++r) {
        const int source = flip ? height - 1 - r : r;
        raw.push_back(0);
        raw.insert(raw.end(), pixels.begin() + source * rowBytes,
                   pixels.begin() + (source + 1) * rowBytes);
    }
    return raw;
}

TEST(PngTest, OneRedPixelIsExactlyTheseBytes) {
    PngFolder folder;
    const std::string path = folder.path("red.png");
    const Bytes pixel = {0xFF, 0x00, 0x00};
    ASSERT_TRUE(writePng(path.c_str(), pixel.data(), 1, 1, 3, false));
    // clang-format off
    const Bytes expected = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,                         // signature
        0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, // IHDR
        0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x77, 0x53, 0xDE,
        0x00, 0x00, 0x00, 0x0F, 0x49, 0x44, 0x41, 0x54, 0x78, 0x01, 0x01, 0x04, // IDAT
        0x00, 0xFB, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0x03, 0x01, 0x01, 0x00, 0x8D, 0x1D, 0xE5, 0x82,
        0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82, // IEND
    };
    // clang-format on
    ASSERT_EQ(expected.size(), 72u);
    EXPECT_THAT(readBytes(path), ElementsAreArray(expected));
    EXPECT_THAT(folder.log(), HasSubstr("info  Wrote " + path + " (1x1)\n"));
}

TEST(PngTest, ChunkHelpersWriteBigEndianWithTheChunkCrc) {
    Bytes out;
    appendBe32(out, 0x01020304);
    EXPECT_THAT(out, ElementsAreArray({0x01, 0x02, 0x03, 0x04}));

    out.clear();
    appendPngChunk(out, "IEND", {});
    EXPECT_THAT(out, ElementsAreArray(
                         {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));

    out = {0xAA}; // appends after what is there; the CRC covers type and data only
    const Bytes data = {'a', 'b', 'c', 0, 0xFF};
    appendPngChunk(out, "tEXt", data);
    ASSERT_EQ(out.size(), 1 + 12 + data.size());
    EXPECT_EQ(be32(out, 1), data.size());
    const std::uint32_t crc =
        crc32(0, out.data() + 5, static_cast<uInt>(4 + data.size())); // zlib's CRC-32
    EXPECT_EQ(be32(out, out.size() - 4), crc);
}

// Walks the stored blocks of the file's single IDAT chunk.
struct StoredStream {
    std::vector<std::size_t> blockSizes;
    std::vector<bool> finalFlags;
    Bytes raw;
    std::uint32_t adler = 0;
    std::size_t streamSize = 0;
};

StoredStream readStoredStream(const Bytes& file) {
    StoredStream s;
    EXPECT_EQ(std::memcmp(&file[12], "IHDR", 4), 0);
    EXPECT_EQ(std::memcmp(&file[37], "IDAT", 4), 0);
    s.streamSize = be32(file, 33);
    EXPECT_EQ(file.size(), 57 + s.streamSize);
    const std::size_t start = 41;
    const std::size_t end = start + s.streamSize;
    EXPECT_EQ(file[start], 0x78);
    EXPECT_EQ(file[start + 1], 0x01);
    std::size_t at = start + 2;
    while (at + 5 <= end - 4) {
        const std::size_t len = file[at + 1] | file[at + 2] << 8;
        const std::size_t nlen = file[at + 3] | file[at + 4] << 8;
        EXPECT_EQ(len ^ 0xFFFF, nlen);
        EXPECT_EQ(file[at] & ~1, 0) << "block type must be stored";
        s.finalFlags.push_back(file[at] == 1);
        s.blockSizes.push_back(len);
        s.raw.insert(s.raw.end(), file.begin() + at + 5, file.begin() + at + 5 + len);
        at += 5 + len;
    }
    EXPECT_EQ(at, end - 4);
    s.adler = be32(file, end - 4);
    return s;
}

TEST(PngTest, RawDataIsCutIntoStoredBlocksOfAtMost65535Bytes) {
    struct Case {
        int width, height, channels;
        std::vector<std::size_t> blocks;
    };
    const Case cases[] = {
        {65534, 1, 1, {65535}},           // exactly one full block
        {65535, 1, 1, {65535, 1}},        // one byte more: a last block of 1
        {21844, 1, 3, {65533}},           // one block, not full
        {32767, 2, 1, {65535, 1}},        // two rows, the second filter byte spills over
        {21845, 2, 3, {65535, 65535, 2}}, // two full blocks and a remainder
        {16384, 4, 4, {65535, 65535, 65535, 65535, 8}},
    };
    PngFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.channels);
        const std::string path = folder.path("blocks.png");
        const Bytes pixels = pattern(c.width, c.height, c.channels);
        ASSERT_TRUE(writePng(path.c_str(), pixels.data(), c.width, c.height, c.channels, false));
        const Bytes file = readBytes(path);
        const StoredStream s = readStoredStream(file);
        EXPECT_THAT(s.blockSizes, ElementsAreArray(c.blocks));
        std::vector<bool> finals(c.blocks.size(), false);
        finals.back() = true;
        EXPECT_EQ(s.finalFlags, finals);

        const Bytes raw = rawRows(pixels, c.width, c.height, c.channels, false);
        EXPECT_EQ(s.raw, raw);
        EXPECT_EQ(s.streamSize, raw.size() + 6 + 5 * c.blocks.size());
        EXPECT_EQ(s.adler, adler32(1, raw.data(), static_cast<uInt>(raw.size())));

        // zlib itself accepts the stream, Adler-32 included.
        Bytes inflated(raw.size() + 1);
        uLongf inflatedSize = inflated.size();
        ASSERT_EQ(uncompress(inflated.data(), &inflatedSize, &file[41], s.streamSize), Z_OK);
        inflated.resize(inflatedSize);
        EXPECT_EQ(inflated, raw);
    }
}

// What libpng reads back from a file: the header fields and the rows, top row first.
struct Decoded {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = -1, interlace = -1;
    Bytes pixels;
    std::string error;
};

Decoded decodeWithLibpng(const std::string& path) {
    Decoded d;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        d.error = "cannot open";
        return d;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    // libpng reports errors by longjmp; everything that owns memory lives outside this frame.
    std::vector<png_bytep> rowPointers;
    if (setjmp(png_jmpbuf(png))) {
        d.error = "libpng error";
    } else {
        png_init_io(png, file);
        png_read_info(png, info);
        png_get_IHDR(png, info, &d.width, &d.height, &d.bitDepth, &d.colourType, &d.interlace,
                     nullptr, nullptr);
        const std::size_t rowBytes = png_get_rowbytes(png, info);
        d.pixels.resize(rowBytes * d.height);
        rowPointers.resize(d.height);
        for (png_uint_32 r = 0; r < d.height; ++r)
            rowPointers[r] = &d.pixels[r * rowBytes];
        png_read_image(png, rowPointers.data());
        png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return d;
}

TEST(PngTest, LibpngDecodesEveryChannelCountToTheInputPixels) {
    struct Case {
        int width, height, channels;
        int colourType;
    };
    const Case cases[] = {
        {37, 23, 1, PNG_COLOR_TYPE_GRAY},  {37, 23, 3, PNG_COLOR_TYPE_RGB},
        {37, 23, 4, PNG_COLOR_TYPE_RGBA},  {1, 9, 1, PNG_COLOR_TYPE_GRAY},
        {300, 80, 4, PNG_COLOR_TYPE_RGBA}, // several stored blocks, rows across block edges
    };
    PngFolder folder;
    for (const Case& c : cases) {
        for (bool flip : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.channels
                                            << (flip ? " flipped" : ""));
            const std::string path = folder.path("decode.png");
            const Bytes pixels = pattern(c.width, c.height, c.channels);
            ASSERT_TRUE(writePng(path.c_str(), pixels.data(), c.width, c.height, c.channels, flip));
            const Decoded d = decodeWithLibpng(path);
            ASSERT_THAT(d.error, IsEmpty());
            EXPECT_EQ(d.width, png_uint_32(c.width));
            EXPECT_EQ(d.height, png_uint_32(c.height));
            EXPECT_EQ(d.bitDepth, 8);
            EXPECT_EQ(d.colourType, c.colourType);
            EXPECT_EQ(d.interlace, PNG_INTERLACE_NONE);

            // Flipping turns the rows around: the last row in memory is the file's first.
            Bytes expected;
            const std::size_t rowBytes = std::size_t(c.width) * c.channels;
            for (int r = 0; r < c.height; ++r) {
                const int source = flip ? c.height - 1 - r : r;
                expected.insert(expected.end(), pixels.begin() + source * rowBytes,
                                pixels.begin() + (source + 1) * rowBytes);
            }
            EXPECT_EQ(d.pixels, expected);
        }
    }
}

TEST(PngTest, LibpngRejectsDamagedFiles) {
    // Shows that the decoder above really checks the CRC-32 and Adler-32 the writer computes.
    const std::pair<std::size_t, const char*> damages[] = {
        {29, "the IHDR chunk's CRC"},
        {49, "a pixel byte, so the stream's Adler-32 no longer matches"},
    };
    PngFolder folder;
    const std::string path = folder.path("damaged.png");
    const Bytes pixels = pattern(4, 4, 3);
    for (const auto& [offset, what] : damages) {
        ASSERT_TRUE(writePng(path.c_str(), pixels.data(), 4, 4, 3, false));
        Bytes file = readBytes(path);
        file[offset] ^= 0x01;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
        EXPECT_THAT(decodeWithLibpng(path).error, Not(IsEmpty())) << what;
    }
}

TEST(PngTest, BadSizesAndChannelCountsAreRefusedWithoutFileOrLogLine) {
    struct Case {
        int width, height, channels;
    };
    const Case cases[] = {{0, 1, 3}, {1, 0, 3}, {0, 0, 1}, {-1, 5, 3}, {5, -1, 4},
                          {1, 1, 2}, {1, 1, 0}, {1, 1, 5}, {1, 1, -3}, {INT32_MIN, 1, 1}};
    PngFolder folder;
    const std::string path = folder.path("refused.png");
    const Bytes pixels(64, 0x55);
    for (const Case& c : cases) {
        EXPECT_FALSE(writePng(path.c_str(), pixels.data(), c.width, c.height, c.channels, false))
            << c.width << "x" << c.height << "x" << c.channels;
        EXPECT_FALSE(fs::exists(path));
    }
    EXPECT_THAT(folder.log(), IsEmpty());
}

TEST(PngTest, ImagesTooLargeForOneChunkAreRefusedBeforeTouchingThePixels) {
    // 65536 x 65536 overflows 32-bit size arithmetic to 0; the tiny buffer would be overrun if
    // the writer went ahead (the sanitizer build catches any read).
    PngFolder folder;
    const std::string path = folder.path("huge.png");
    const Bytes pixels(16, 0);
    EXPECT_FALSE(writePng(path.c_str(), pixels.data(), 65536, 65536, 1, false));
    EXPECT_FALSE(writePng(path.c_str(), pixels.data(), 46341, 46341, 1, true));
    EXPECT_FALSE(writePng(path.c_str(), pixels.data(), INT32_MAX, INT32_MAX, 4, false));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_THAT(folder.log(), HasSubstr("error writePng: " + path + " would be too large"));
}

TEST(PngTest, AFileThatCannotBeOpenedIsLoggedAsAnError) {
    PngFolder folder;
    const std::string path = folder.path("missing-folder/shot.png");
    const Bytes pixels(3, 0);
    EXPECT_FALSE(writePng(path.c_str(), pixels.data(), 1, 1, 3, false));
    EXPECT_THAT(folder.log(), HasSubstr("error writePng: cannot open " + path + "\n"));
    EXPECT_THAT(folder.log(), Not(HasSubstr("Wrote")));
}

TEST(PngTest, AnExistingFileIsReplacedWhole) {
    PngFolder folder;
    const std::string path = folder.path("again.png");
    const Bytes big = pattern(64, 64, 4);
    ASSERT_TRUE(writePng(path.c_str(), big.data(), 64, 64, 4, false));
    const Bytes pixel = {0xFF, 0x00, 0x00};
    ASSERT_TRUE(writePng(path.c_str(), pixel.data(), 1, 1, 3, false));
    EXPECT_EQ(readBytes(path).size(), 72u);
}

} // namespace
} // namespace qv::launcher
