// A small PNG writer for 8-bit images: no filtering and no compression, so it needs no library.
// The pixel rows go into stored deflate blocks inside one IDAT chunk; the CRC-32 of each chunk
// is computed here, the Adler-32 of the zlib stream by base/adler32.h.
#pragma once

#include <cstdint>
#include <vector>

namespace qv::launcher {

// Writes width x height pixels of 1 (grey), 3 (RGB) or 4 (RGBA) bytes each, rows tightly packed
// and row 0 first in memory, as the PNG file at the UTF-8 path. flipRows stores the rows in the
// opposite order (for bottom-up framebuffers). The whole file is built in memory first and then
// written with one write. True when the whole file was written; a bad size or channel count is
// refused without touching the disk or logging.
bool writePng(const char* path, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
              std::int32_t channels, bool flipRows);

// Appends a whole chunk: the data's length, the 4 type bytes, the data and the CRC-32 of type and
// data, all numbers big-endian.
void appendPngChunk(std::vector<std::uint8_t>& out, const char* type,
                    const std::vector<std::uint8_t>& data);

// Appends v most significant byte first.
void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t v);

} // namespace qv::launcher
