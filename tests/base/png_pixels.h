// What the PNG writer's tests share: a log folder to write into and pixels that show swapped or
// shifted rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../support/log_folder.h"

namespace qv::launcher {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fresh temporary folder with the log open in it.
class PngFolder : public test::LogFolder {
  public:
    PngFolder() : LogFolder("png_test-") {}
};

// Pixels that differ from row to row and channel to channel, so swapped or shifted rows show.
inline Bytes pattern(int width, int height, int channels) {
    Bytes pixels(std::size_t(width) * height * channels);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>((i * 7 + i / 251 * 13) ^ (i >> 9));
    return pixels;
}

} // namespace
} // namespace qv::launcher
