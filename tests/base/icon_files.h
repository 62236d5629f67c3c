// Small .ico files built in memory for the window-icon reader's tests, a log folder to write
// them into, and a matcher for the images read back.
#pragma once

#include "base/icon.h"
#include "base/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../support/log_folder.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

using test::LogLine;

// A fresh temporary folder with the log open in it; icon files are written there too.
class IconFolder : public test::LogFolder {
  public:
    IconFolder() : LogFolder("icon_test-") {}

    std::string write(const Bytes& bytes, const std::string& name = "test.ico") const {
        const std::string file = path(name);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return file;
    }
};

inline void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// The stored pixel (blue, green, red, alpha) of column x in stored row r, different everywhere
// and for every seed, so that swapped channels, rows or images show.
inline std::uint8_t storedByte(int seed, int x, int r, int channel) {
    return static_cast<std::uint8_t>(seed * 97 + r * 31 + x * 7 + channel * 61);
}

// A device-independent bitmap as an icon stores it, with the fields a test may spoil.
struct Bitmap {
    std::int32_t width = 3;
    std::int32_t height = 2; // image rows; the header says 2 * height unless storedHeight
    std::optional<std::int32_t> storedHeight;
    std::uint32_t headerSize = 40; // the header is padded with zeros up to this size
    std::uint16_t bitCount = 32;
    std::uint32_t compression = 0;
    bool mask = true;
    int seed = 1;

    Bytes bytes() const {
        Bytes out;
        put32(out, headerSize);
        put32(out, static_cast<std::uint32_t>(width));
        put32(out, static_cast<std::uint32_t>(storedHeight.value_or(2 * height)));
        put16(out, 1);
        put16(out, bitCount);
        put32(out, compression);
        out.resize(headerSize, 0);
        for (int r = 0; r < height; ++r)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 4; ++c)
                    out.push_back(storedByte(seed, x, r, c));
        if (mask)
            out.resize(out.size() + static_cast<std::size_t>((width + 31) / 32 * 4 * height), 0);
        return out;
    }
};

// The image loadIconFile must make of a bitmap: RGBA, top row (the last one stored) first.
inline IconImage expectedImage(const Bitmap& bitmap) {
    IconImage image{bitmap.width, bitmap.height, {}};
    for (int y = 0; y < bitmap.height; ++y) {
        const int r = bitmap.height - 1 - y;
        for (int x = 0; x < bitmap.width; ++x)
            for (int c : {2, 1, 0, 3})
                image.rgba.push_back(storedByte(bitmap.seed, x, r, c));
    }
    return image;
}

// One directory entry and its image data; the size and offset are worked out unless given.
struct Entry {
    int width = 3; // 256 is written as 0
    int height = 2;
    Bytes data;
    std::optional<std::uint32_t> resourceSize;
    std::optional<std::uint32_t> offset;
};

inline Bitmap bitmapOf(int width, int height, int seed) {
    Bitmap bitmap;
    bitmap.width = width;
    bitmap.height = height;
    bitmap.seed = seed;
    return bitmap;
}

inline Entry entryFor(const Bitmap& bitmap) {
    Entry entry;
    entry.width = bitmap.width;
    entry.height = bitmap.height;
    entry.data = bitmap.bytes();
    return entry;
}

inline Bytes iconFile(const std::vector<Entry>& entries, std::uint16_t type = 1) {
    Bytes out;
    put16(out, 0);
    put16(out, type);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        out.push_back(static_cast<std::uint8_t>(e.width));
        out.push_back(static_cast<std::uint8_t>(e.height));
        out.push_back(0);
        out.push_back(0);
        put16(out, 1);
        put16(out, 32);
        put32(out, e.resourceSize.value_or(static_cast<std::uint32_t>(e.data.size())));
        put32(out, e.offset.value_or(offset));
        offset += static_cast<std::uint32_t>(e.data.size());
    }
    for (const Entry& e : entries)
        out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

MATCHER_P(IsImage, expected, "") {
    return arg.width == expected.width && arg.height == expected.height &&
           arg.rgba == expected.rgba;
}

} // namespace
} // namespace qv::launcher
