// The launcher exe's icon group, read back through the system's resource functions: the one the
// desktop shows for the file, with every image of resources/corvanthe.ico unchanged.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../../support/file_bytes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::string;

#pragma pack(push, 2)
// An entry of a group-icon resource: an .ico directory entry with the image's resource number in
// place of its file offset.
struct GroupEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

Bytes resourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    return data ? Bytes(static_cast<const char*>(data), SizeofResource(module, found)) : Bytes{};
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// The images of an .ico file by their directory order.
std::vector<Bytes> icoImages(const Bytes& ico) {
    std::vector<Bytes> images;
    const std::size_t count =
        static_cast<unsigned char>(ico[4]) | static_cast<unsigned char>(ico[5]) << 8;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + 16 * i;
        images.push_back(ico.substr(le32(ico, entry + 12), le32(ico, entry + 8)));
    }
    return images;
}

TEST(LauncherExe, CarriesTheSixImageIconGroupAsItsFirstIcon) {
    const fs::path exe = fs::path(CORVANTHE_BINARY_DIR) / "corvanthe-launcher.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();

    const Bytes group = resourceBytes(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_GE(group.size(), 6u);
    WORD header[3];
    std::memcpy(header, group.data(), sizeof header);
    EXPECT_EQ(header[1], 1); // icons, not cursors
    ASSERT_EQ(header[2], 6);
    ASSERT_EQ(group.size(), 6 + 6 * sizeof(GroupEntry));

    const std::vector<Bytes> fileImages = icoImages(
        qv::launcher::test::readBytes(fs::path(CORVANTHE_SOURCE_DIR) / "resources/corvanthe.ico"));
    ASSERT_EQ(fileImages.size(), 6u);

    const int sizes[] = {256, 128, 64, 48, 32, 16};
    for (int i = 0; i < 6; ++i) {
        GroupEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        SCOPED_TRACE("image " + std::to_string(i));
        // 256 does not fit the byte and is written as 0.
        EXPECT_EQ(entry.width == 0 ? 256 : entry.width, sizes[i]);
        EXPECT_EQ(entry.height == 0 ? 256 : entry.height, sizes[i]);
        EXPECT_EQ(entry.bitCount, 32);

        const Bytes image = resourceBytes(module, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
        EXPECT_EQ(image.size(), entry.bytes);
        EXPECT_EQ(image, fileImages[i]);
        if (sizes[i] == 256) {
            EXPECT_EQ(image.substr(0, 8), Bytes("\x89PNG\r\n\x1a\n", 8));
        } else {
            ASSERT_GE(image.size(), 40u);
            EXPECT_EQ(le32(image, 0), 40u); // a BITMAPINFOHEADER
            EXPECT_EQ(le32(image, 4), static_cast<std::uint32_t>(sizes[i]));
            EXPECT_EQ(image[14] | image[15] << 8, 32);
        }
    }
    FreeLibrary(module);
}

} // namespace
