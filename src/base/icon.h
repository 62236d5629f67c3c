// The window-icon reader: the 32-bit bitmap images of an .ico file as straight RGBA pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace qv::launcher {

// One decoded icon image: width x height pixels, top row first, each pixel red, green, blue and
// alpha as stored in the file (straight alpha; the file's transparency mask is not used).
struct IconImage {
    std::int32_t width = 0;  // 1 to 256
    std::int32_t height = 0; // 1 to 256
    std::vector<std::uint8_t> rgba;
};

// Every uncompressed 32-bit bitmap image of the icon file at the UTF-8 path, in directory order.
// PNG images and other depths are left out. Empty when the file is missing, is not an icon or
// holds no usable image. A bad file never throws; only memory exhaustion does.
std::vector<IconImage> loadIconFile(const char* path);

} // namespace qv::launcher
