// The Adler-32 checksum that ends every zlib stream: the screenshot writer computes it for the
// streams it stores, the update's decoder checks it on every download.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::launcher {

// The Adler-32 of n bytes (1 for none).
std::uint32_t adler32Of(const std::uint8_t* bytes, std::size_t n);

} // namespace qv::launcher
