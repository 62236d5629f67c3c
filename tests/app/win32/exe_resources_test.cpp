// The launcher exe's resources, read back through the system's resource functions, in the exe as
// built and in the stripped exe to ship: the icon group the desktop shows for the file and the
// same group as GLFW's window-class icon, each with every image of resources/corvanthe.ico
// unchanged; the application manifest, which the updater driver carries too; and the version the
// file's properties show.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
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

// The launcher as built and as shipped.
std::vector<fs::path> launcherExes() {
    const fs::path build(CORVANTHE_BINARY_DIR);
    return {build / "corvanthe-launcher.exe", build / "ship" / "corvanthe-launcher.exe"};
}

HMODULE loadResources(const fs::path& exe) {
    return LoadLibraryExW(exe.c_str(), nullptr,
                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The group's six images, in their order and sizes, hold the icon file's images byte for byte.
void expectIconFileGroup(HMODULE module, LPCWSTR name) {
    const Bytes group = resourceBytes(module, name, MAKEINTRESOURCEW(14));
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
}

TEST(LauncherExe, CarriesTheSixImageIconGroupFirstAndAsGlfwsClassIcon) {
    for (const fs::path& exe : launcherExes()) {
        SCOPED_TRACE(exe.string());
        HMODULE module = loadResources(exe);
        ASSERT_NE(module, nullptr) << "error " << GetLastError();
        {
            SCOPED_TRACE("first icon");
            expectIconFileGroup(module, MAKEINTRESOURCEW(1));
        }
        {
            SCOPED_TRACE("GLFW_ICON");
            expectIconFileGroup(module, L"GLFW_ICON");
        }
        FreeLibrary(module);
    }
}

TEST(LauncherExe, CarriesTheApplicationManifest) {
    const Bytes file = qv::launcher::test::readBytes(fs::path(CORVANTHE_SOURCE_DIR) /
                                                     "resources/corvanthe.manifest");
    // What the manifest must say, each as it stands in the file.
    const char* const settings[] = {
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", // Windows 10 and 11
        ">true</longPathAware>",
        ">PerMonitorV2, PerMonitor</dpiAwareness>",
        ">true/pm</dpiAware>",
        ">UTF-8</activeCodePage>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "level=\"asInvoker\"",
    };
    for (const char* setting : settings)
        EXPECT_NE(file.find(setting), Bytes::npos) << setting;
    // The updater driver stands for the launcher in the wine tests, so it runs under the same.
    std::vector<fs::path> exes = launcherExes();
    exes.push_back(fs::path(CORVANTHE_BINARY_DIR) / "updater_driver.exe");
    for (const fs::path& exe : exes) {
        HMODULE module = loadResources(exe);
        ASSERT_NE(module, nullptr) << exe.string();
        // Id 1 of RT_MANIFEST, the one the system reads when it starts the exe.
        EXPECT_EQ(resourceBytes(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)), file)
            << exe.string();
        FreeLibrary(module);
    }
}

std::wstring versionText(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) return {};
    return std::wstring(static_cast<const wchar_t*>(value), length - 1); // without its NUL
}

TEST(LauncherExe, ShowsTheProductAndTheBuildsVersion) {
    const std::string version = CORVANTHE_VERSION;
    const std::wstring wideVersion(version.begin(), version.end());
    unsigned numbers[3] = {};
    ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u", &numbers[0], &numbers[1], &numbers[2]), 3);
    for (const fs::path& exe : launcherExes()) {
        SCOPED_TRACE(exe.string());
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "error " << GetLastError();
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_GE(length, sizeof *fixed);
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, numbers[0] << 16 | numbers[1]);
        EXPECT_EQ(fixed->dwFileVersionLS, numbers[2] << 16);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

        EXPECT_EQ(versionText(info, L"ProductName"), L"Corvanthe Launcher");
        EXPECT_EQ(versionText(info, L"FileDescription"), L"Corvanthe Launcher");
        EXPECT_EQ(versionText(info, L"FileVersion"), wideVersion);
        EXPECT_EQ(versionText(info, L"ProductVersion"), wideVersion);
        EXPECT_EQ(versionText(info, L"OriginalFilename"), L"corvanthe-launcher.exe");
    }
}

} // namespace
