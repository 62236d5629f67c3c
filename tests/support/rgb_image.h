// An 8-bit RGB image read from a PNG file (libpng's simplified reader), for tests that look at
// what the launcher put on screen.
#pragma once

#include "app/ui_draw.h"

#include <png.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qv::launcher::test {

struct RgbImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb; // rows top first, 3 bytes a pixel

    bool empty() const { return rgb.empty(); }
    std::array<int, 3> at(int x, int y) const {
        const std::uint8_t* p = &rgb[(std::size_t(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// The image in the file; empty when it cannot be read.
inline RgbImage readRgbPng(const std::string& path) {
    RgbImage image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return image;
    }
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.rgb = std::move(pixels);
    return image;
}

// Pixels of the rectangle (x, y, w, h) within tolerance (of 255) of the colour's opaque RGB.
inline int pixelsNear(const RgbImage& image, int x, int y, int w, int h, const Color& colour,
                      int tolerance = 12) {
    const float rgb[3] = {colour.r, colour.g, colour.b};
    int n = 0;
    for (int j = y; j < y + h && j < image.height; ++j) {
        for (int i = x; i < x + w && i < image.width; ++i) {
            const std::array<int, 3> p = image.at(i, j);
            bool near = true;
            for (int c = 0; c < 3; ++c)
                near =
                    near && std::abs(p[c] - static_cast<int>(rgb[c] * 255.0f + 0.5f)) <= tolerance;
            n += near;
        }
    }
    return n;
}

} // namespace qv::launcher::test
