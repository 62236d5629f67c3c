// The window-icon reader against small .ico files built here, one fault at a time, and against
// the launcher's own icon group.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "icon_files.h"

namespace qv::launcher {
namespace {

TEST(LoadIconFile, MissingFileIsOneDebugLine) {
    IconFolder folder;
    const std::string path = folder.path("absent.ico");
    EXPECT_THAT(loadIconFile(path.c_str()), IsEmpty());
    EXPECT_EQ(folder.lines(), (std::vector<LogLine>{{"dbg", "No window icon at " + path}}));
}

TEST(LoadIconFile, FilesThatAreNoIconsOrHoldNothing) {
    Bytes sixBytes;
    put16(sixBytes, 0);
    put16(sixBytes, 1);
    put16(sixBytes, 1);
    const struct {
        const char* what;
        Bytes file;
        bool warns;
    } cases[] = {
        {"empty", {}, true},
        {"five bytes", {0, 0, 1, 0, 1}, true},
        {"cursor", iconFile({entryFor(Bitmap{})}, 2), true},
        {"type 0", iconFile({entryFor(Bitmap{})}, 0), true},
        {"no entries", iconFile({}), false},
        {"one entry announced, none there", sixBytes, false},
    };
    for (const auto& c : cases) {
        IconFolder folder;
        const std::string path = folder.write(c.file);
        EXPECT_THAT(loadIconFile(path.c_str()), IsEmpty()) << c.what;
        if (c.warns) {
            EXPECT_EQ(folder.lines(),
                      (std::vector<LogLine>{{"warn", path + " is not an icon file"}}))
                << c.what;
        } else {
            EXPECT_THAT(folder.lines(), IsEmpty()) << c.what;
        }
    }
}

TEST(LoadIconFile, ReadsFilesUpToTheSizeLimit) {
    IconFolder folder;
    const Bitmap bitmap;
    const std::string path = folder.write(iconFile({entryFor(bitmap)}));

    fs::resize_file(path, 0xFFFFFF);
    EXPECT_THAT(loadIconFile(path.c_str()), ElementsAre(IsImage(expectedImage(bitmap))));
    EXPECT_THAT(folder.lines(), IsEmpty());

    fs::resize_file(path, 0x1000000);
    EXPECT_THAT(loadIconFile(path.c_str()), IsEmpty());
    EXPECT_EQ(folder.lines(), (std::vector<LogLine>{{"warn", path + " is not an icon file"}}));
}

TEST(LoadIconFile, ConvertsBottomUpBgraToTopDownRgba) {
    IconFolder folder;
    Bitmap bitmap;
    Bytes data = bitmap.bytes();
    // The first stored pixel (bottom left) is 10 20 30 80.
    data[40] = 10;
    data[41] = 20;
    data[42] = 30;
    data[43] = 0x80;
    Entry entry;
    entry.data = data;
    const std::string path = folder.write(iconFile({entry}));

    const std::vector<IconImage> images = loadIconFile(path.c_str());
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 3);
    EXPECT_EQ(images[0].height, 2);
    ASSERT_EQ(images[0].rgba.size(), 3u * 2u * 4u);
    // The first stored row is the last row of the image.
    EXPECT_THAT(Bytes(images[0].rgba.begin() + 12, images[0].rgba.begin() + 16),
                ElementsAre(30, 20, 10, 0x80));
    IconImage expected = expectedImage(bitmap);
    std::copy(images[0].rgba.begin() + 12, images[0].rgba.begin() + 16, expected.rgba.begin() + 12);
    EXPECT_THAT(images[0], IsImage(expected));
    EXPECT_THAT(folder.lines(), IsEmpty());
}

TEST(LoadIconFile, AcceptsTheBitmapVariantsItReads) {
    Bitmap big;
    big.width = 256;
    big.height = 256;
    Bitmap oddHeight;
    oddHeight.storedHeight = 2 * oddHeight.height + 1;
    Bitmap longHeader;
    longHeader.headerSize = 124;
    Bitmap noMask;
    noMask.mask = false;
    const struct {
        const char* what;
        Bitmap bitmap;
        int entrySize;
    } cases[] = {
        {"256 x 256, written as 0 x 0", big, 0},
        {"stored height 2H + 1", oddHeight, 3},
        {"header of 124 bytes", longHeader, 3},
        {"no transparency mask, resource ends with the colour rows", noMask, 3},
    };
    for (const auto& c : cases) {
        IconFolder folder;
        Entry entry = entryFor(c.bitmap);
        if (c.entrySize == 0) entry.width = entry.height = 0;
        const std::string path = folder.write(iconFile({entry}));
        EXPECT_THAT(loadIconFile(path.c_str()), ElementsAre(IsImage(expectedImage(c.bitmap))))
            << c.what;
        EXPECT_THAT(folder.lines(), IsEmpty()) << c.what;
    }
}

// Each case spoils one thing in the first of two entries; the sound second entry must still be
// read, and nothing logged.
TEST(LoadIconFile, LeavesOutEntriesItCannotUse) {
    const Bitmap good = bitmapOf(2, 2, 5);
    const auto spoilt = [](auto change) {
        Bitmap bitmap;
        change(bitmap);
        return entryFor(bitmap);
    };
    const Bytes pngStart = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Entry png = entryFor(Bitmap{});
    std::copy(pngStart.begin(), pngStart.end(), png.data.begin());
    Entry shortResource = spoilt([](Bitmap& b) { b.mask = false; });
    shortResource.resourceSize = static_cast<std::uint32_t>(shortResource.data.size() - 1);
    Entry tinyResource = entryFor(Bitmap{});
    tinyResource.resourceSize = 39;
    Entry wrongWidth = entryFor(Bitmap{});
    wrongWidth.width = 4;
    Entry wrongHeight = entryFor(Bitmap{});
    wrongHeight.height = 3;

    const struct {
        const char* what;
        Entry entry;
    } cases[] = {
        {"PNG stream", png},
        {"24 bits", spoilt([](Bitmap& b) { b.bitCount = 24; })},
        {"8 bits", spoilt([](Bitmap& b) { b.bitCount = 8; })},
        {"BI_BITFIELDS", spoilt([](Bitmap& b) { b.compression = 3; })},
        {"top-down (negative height)", spoilt([](Bitmap& b) { b.storedHeight = -4; })},
        {"stored height 2H + 2", spoilt([](Bitmap& b) { b.storedHeight = 6; })},
        {"header shorter than 40", spoilt([](Bitmap& b) { b.headerSize = 12; })},
        {"directory width differs", wrongWidth},
        {"directory height differs", wrongHeight},
        {"resource one byte short of the colour rows", shortResource},
        {"resource below a bitmap header", tinyResource},
    };
    for (const auto& c : cases) {
        IconFolder folder;
        const std::string path = folder.write(iconFile({c.entry, entryFor(good)}));
        EXPECT_THAT(loadIconFile(path.c_str()), ElementsAre(IsImage(expectedImage(good))))
            << c.what;
        EXPECT_THAT(folder.lines(), IsEmpty()) << c.what;
    }
}

// Offsets and sizes are checked against the file before anything is read; sums that do not fit
// in 32 bits must not wrap around to something small (ASan sees any read outside the buffer).
TEST(LoadIconFile, NeverReadsOutsideTheFile) {
    const Bitmap good = bitmapOf(2, 2, 9);
    const std::uint32_t fileSize =
        static_cast<std::uint32_t>(iconFile({entryFor(Bitmap{}), entryFor(good)}).size());
    const struct {
        const char* what;
        std::optional<std::uint32_t> resourceSize;
        std::optional<std::uint32_t> offset;
    } cases[] = {
        {"offset + size one past the end", std::nullopt, fileSize - 40 + 1},
        {"offset near 4 GiB, sum wraps in 32 bits", 0x40, 0xFFFFFFF0},
        {"size near 4 GiB, sum wraps in 32 bits", 0xFFFFFFF0, 0x20},
        {"both at their maximum", 0xFFFFFFFF, 0xFFFFFFFF},
        {"offset past the end", 40, fileSize},
    };
    for (const auto& c : cases) {
        IconFolder folder;
        Entry entry = entryFor(Bitmap{});
        entry.resourceSize = c.resourceSize;
        entry.offset = c.offset;
        if (!c.resourceSize) entry.resourceSize = 40;
        const std::string path = folder.write(iconFile({entry, entryFor(good)}));
        EXPECT_THAT(loadIconFile(path.c_str()), ElementsAre(IsImage(expectedImage(good))))
            << c.what;
    }
}

TEST(LoadIconFile, ReturnsEveryUsableEntryInDirectoryOrder) {
    IconFolder folder;
    const Bitmap first = bitmapOf(3, 2, 1), second = bitmapOf(3, 2, 2), third = bitmapOf(3, 2, 3);
    const std::string path =
        folder.write(iconFile({entryFor(first), entryFor(second), entryFor(third)}));
    EXPECT_THAT(loadIconFile(path.c_str()),
                ElementsAre(IsImage(expectedImage(first)), IsImage(expectedImage(second)),
                            IsImage(expectedImage(third))));
}

// A count far beyond the directory: the entries that fit are read (the bytes after the first one
// happen to be image data and are no usable entries), the directory ends at the end of the file.
TEST(LoadIconFile, DirectoryCutShortKeepsTheCompleteEntries) {
    IconFolder folder;
    const Bitmap bitmap = bitmapOf(1, 1, 1);
    Bytes file = iconFile({entryFor(bitmap)});
    file[4] = 0xFF;
    file[5] = 0xFF;
    const std::string path = folder.write(file);
    EXPECT_THAT(loadIconFile(path.c_str()), ElementsAre(IsImage(expectedImage(bitmap))));
    EXPECT_THAT(folder.lines(), IsEmpty());
}

TEST(LoadIconFile, ReadsTheLaunchersIconGroupWithoutItsPngImage) {
    IconFolder folder;
    const std::string path = CORVANTHE_SOURCE_DIR "/resources/corvanthe.ico";
    const std::vector<IconImage> images = loadIconFile(path.c_str());
    ASSERT_EQ(images.size(), 5u);
    const int sizes[] = {128, 64, 48, 32, 16};
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        EXPECT_EQ(image.width, sizes[i]);
        EXPECT_EQ(image.height, sizes[i]);
        ASSERT_EQ(image.rgba.size(), static_cast<std::size_t>(sizes[i] * sizes[i] * 4));
        // Transparent corners outside the rounded tile, an opaque middle.
        EXPECT_EQ(image.rgba[3], 0) << sizes[i];
        const std::size_t middle =
            (static_cast<std::size_t>(sizes[i] / 2) * sizes[i] + sizes[i] / 2) * 4;
        EXPECT_EQ(image.rgba[middle + 3], 255) << sizes[i];
    }
    EXPECT_THAT(folder.lines(), IsEmpty());
}

} // namespace
} // namespace qv::launcher
