// Reads an .ico file whole and converts its 32-bit BI_RGB bitmaps. Every offset and size in the
// file is untrusted: each is checked against the file size in 64-bit arithmetic before a byte is
// read, so nothing outside the buffer is touched whatever the directory claims.

#include "base/icon.h"

#include "base/file_os.h"
#include "base/log.h"
#include "base/platform.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

namespace qv::launcher {

namespace {

// A window icon is small; a larger file is not worth reading into memory.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFF;
constexpr std::uint64_t kFileHeaderSize = 6;
constexpr std::uint64_t kEntrySize = 16;
constexpr std::uint32_t kMinBitmapHeaderSize = 40;
constexpr std::uint8_t kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

enum class ReadResult { Missing, NotIcon, Read };

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

ReadResult readWholeFile(const char* path, std::vector<std::uint8_t>& bytes) {
    try {
        pathFromUtf8(path);
    } catch (const std::filesystem::filesystem_error&) {
        // Text that is not UTF-8 names no file on any host.
        return ReadResult::Missing;
    }
    // Closed on every path, running out of memory for the buffer included.
    const std::unique_ptr<std::FILE, CloseFile> file(openFileNoInherit(path, "rb"));
    if (file == nullptr) return ReadResult::Missing;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return ReadResult::NotIcon;
    const long end = std::ftell(file.get());
    if (end < 1 || static_cast<std::uint64_t>(end) > kMaxFileSize ||
        std::fseek(file.get(), 0, SEEK_SET) != 0)
        return ReadResult::NotIcon;
    bytes.resize(static_cast<std::size_t>(end));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return ReadResult::NotIcon;
    return ReadResult::Read;
}

// Converts one directory entry when it is a bitmap this reader takes; false leaves it out.
bool decodeEntry(const std::vector<std::uint8_t>& file, const std::uint8_t* entry,
                 IconImage& image) {
    const std::int32_t w = entry[0] == 0 ? 256 : entry[0];
    const std::int32_t h = entry[1] == 0 ? 256 : entry[1];
    const std::uint32_t resourceSize = le32(entry + 8);
    const std::uint32_t offset = le32(entry + 12);

    if (std::uint64_t{offset} + resourceSize > file.size() || resourceSize < kMinBitmapHeaderSize)
        return false;
    const std::uint8_t* dib = file.data() + offset;
    if (std::memcmp(dib, kPngSignature, sizeof kPngSignature) == 0) return false;
    const std::uint32_t headerSize = le32(dib);
    const std::int32_t bitmapWidth = static_cast<std::int32_t>(le32(dib + 4));
    const std::int32_t bitmapHeight = static_cast<std::int32_t>(le32(dib + 8));
    const std::uint16_t bitCount = le16(dib + 14);
    const std::uint32_t compression = le32(dib + 16);
    // The stored height counts the mask rows too; a negative (top-down) height never matches.
    if (compression != 0 || headerSize < kMinBitmapHeaderSize || bitCount != 32 ||
        bitmapHeight / 2 != h || bitmapWidth != w)
        return false;
    const std::uint64_t rowBytes = std::uint64_t{4} * static_cast<std::uint32_t>(w);
    if (resourceSize < std::uint64_t{headerSize} + rowBytes * static_cast<std::uint32_t>(h))
        return false;

    image.width = w;
    image.height = h;
    image.rgba.resize(rowBytes * h);
    const std::uint8_t* pixels = dib + headerSize;
    for (std::int32_t y = 0; y < h; ++y) {
        // Rows are stored bottom-up and as blue, green, red, alpha.
        const std::uint8_t* in = pixels + rowBytes * (h - 1 - y);
        std::uint8_t* out = image.rgba.data() + rowBytes * y;
        for (std::int32_t x = 0; x < w; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    }
    return true;
}

} // namespace

std::vector<IconImage> loadIconFile(const char* path) {
    std::vector<IconImage> images;
    std::vector<std::uint8_t> file;
    switch (readWholeFile(path, file)) {
    case ReadResult::Missing:
        logDebug("No window icon at %s", path);
        return images;
    case ReadResult::NotIcon:
        logWarn("%s is not an icon file", path);
        return images;
    case ReadResult::Read:
        break;
    }
    if (file.size() < kFileHeaderSize || le16(file.data() + 2) != 1) {
        logWarn("%s is not an icon file", path);
        return images;
    }
    const std::uint16_t count = le16(file.data() + 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        // A directory cut short keeps the images of its complete entries.
        if (kFileHeaderSize + kEntrySize * (i + 1) > file.size()) break;
        IconImage image;
        if (decodeEntry(file, file.data() + kFileHeaderSize + kEntrySize * i, image))
            images.push_back(std::move(image));
    }
    return images;
}

} // namespace qv::launcher
