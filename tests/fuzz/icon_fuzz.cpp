// Feeds arbitrary bytes to the window-icon reader as an .ico file: it must never crash, read
// outside the file or hand back an image whose pixels do not match its size.
#include "base/icon.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace {

// One scratch file per fuzzing process, removed when the process ends normally.
struct ScratchFile {
    std::filesystem::path path;
    ScratchFile() {
        std::random_device random;
        path = std::filesystem::temp_directory_path() /
               ("icon_fuzz-" + std::to_string(random()) + ".ico");
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

ScratchFile& scratch() {
    static ScratchFile file;
    return file;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused files are logged as warnings on standard output; libFuzzer reports on standard error.
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratch().path.string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);

    for (const qv::launcher::IconImage& image : qv::launcher::loadIconFile(path.c_str())) {
        if (image.width < 1 || image.width > 256 || image.height < 1 || image.height > 256 ||
            image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4)
            __builtin_trap();
    }
    return 0;
}
