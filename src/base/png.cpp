#include "base/png.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>

#include "base/adler32.h"
#include "base/file_os.h"
#include "base/log.h"

namespace qv::launcher {

namespace {

constexpr std::size_t storedBlockMax = 65535;

// PNG keeps a chunk's length below 2^31; the whole zlib stream goes into one IDAT chunk, so a
// larger image is refused.
constexpr std::uint64_t chunkDataMax = 0x7FFFFFFF;

const std::array<std::uint32_t, 256>& crcTable() {
    // Built on first use and kept for the life of the process.
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

std::uint8_t colourType(std::int32_t channels) {
    switch (channels) {
    case 1:
        return 0;
    case 3:
        return 2;
    default:
        return 6;
    }
}

} // namespace

void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void appendPngChunk(std::vector<std::uint8_t>& out, const char* type,
                    const std::vector<std::uint8_t>& data) {
    appendBe32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const auto& table = crcTable();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = start; i < out.size(); ++i)
        crc = (crc >> 8) ^ table[(crc ^ out[i]) & 0xFF];
    appendBe32(out, ~crc);
}

bool writePng(const char* path, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
              std::int32_t channels, bool flipRows) {
    if (width < 1 || height < 1) return false;
    if (channels != 1 && channels != 3 && channels != 4) return false;
    if (pixels == nullptr || path == nullptr) return false;

    // Sizes in 64 bits: width x height x channels overflows 32 bits long before memory runs out.
    const std::uint64_t rowBytes = std::uint64_t(width) * std::uint64_t(channels);
    const std::uint64_t rawSize = std::uint64_t(height) * (1 + rowBytes);
    const std::uint64_t blocks = (rawSize + storedBlockMax - 1) / storedBlockMax;
    const std::uint64_t streamSize = 2 + 5 * blocks + rawSize + 4;
    if (streamSize > chunkDataMax) {
        logError("writePng: %s would be too large (%dx%d)", path, width, height);
        return false;
    }

    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(rawSize));
    for (std::int32_t r = 0; r < height; ++r) {
        const std::int32_t source = flipRows ? height - 1 - r : r;
        const std::uint8_t* row = pixels + std::size_t(source) * std::size_t(rowBytes);
        raw.push_back(0); // filter type None
        raw.insert(raw.end(), row, row + rowBytes);
    }

    std::vector<std::uint8_t> zlib;
    zlib.reserve(static_cast<std::size_t>(streamSize));
    zlib.push_back(0x78); // deflate, 32 KiB window
    zlib.push_back(0x01); // no dictionary; 0x7801 is a multiple of 31
    for (std::size_t pos = 0; pos < raw.size();) {
        const std::size_t n = std::min(storedBlockMax, raw.size() - pos);
        const bool last = pos + n == raw.size();
        zlib.push_back(last ? 0x01 : 0x00); // final-block bit, block type 00 (stored)
        zlib.push_back(static_cast<std::uint8_t>(n));
        zlib.push_back(static_cast<std::uint8_t>(n >> 8));
        zlib.push_back(static_cast<std::uint8_t>(~n));
        zlib.push_back(static_cast<std::uint8_t>(~n >> 8));
        zlib.insert(zlib.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    }
    appendBe32(zlib, adler32Of(raw.data(), raw.size()));

    std::vector<std::uint8_t> header;
    appendBe32(header, static_cast<std::uint32_t>(width));
    appendBe32(header, static_cast<std::uint32_t>(height));
    header.push_back(8); // bit depth
    header.push_back(colourType(channels));
    header.push_back(0); // compression method
    header.push_back(0); // filter method
    header.push_back(0); // no interlace

    std::vector<std::uint8_t> file = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    file.reserve(zlib.size() + 57);
    appendPngChunk(file, "IHDR", header);
    appendPngChunk(file, "IDAT", zlib);
    appendPngChunk(file, "IEND", {});

    std::FILE* f = openFileNoInherit(path, "wb");
    if (f == nullptr) {
        logError("writePng: cannot open %s", path);
        return false;
    }
    const std::size_t written = std::fwrite(file.data(), 1, file.size(), f);
    // The stream buffers what it was given; only a successful close says it reached the file.
    const bool closed = std::fclose(f) == 0;
    if (written != file.size() || !closed) return false;
    logInfo("Wrote %s (%dx%d)", path, width, height);
    return true;
}

} // namespace qv::launcher
