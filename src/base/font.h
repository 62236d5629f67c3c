// The built-in bitmap font: 153 glyphs of 5 by 8 pixels. Glyphs 0 to 94 are printable ASCII
// (space to tilde) in code order; glyphs 95 to 152 draw the code points of fontCodePoints in
// table order. Each glyph is 8 row bytes, top row first; bit 4 (0x10) is the leftmost column and
// bit 0 the rightmost, bits 5 to 7 are clear, and a set bit is an inked pixel. Row 7 is inked only
// by descenders (g, j, p, q, y, U+00E7, U+00FD).
#pragma once

#include <cstdint>

namespace qv::launcher {

inline constexpr int fontGlyphWidth = 5;
inline constexpr int fontGlyphHeight = 8;
inline constexpr int fontGlyphCount = 153;
inline constexpr int fontCodePointCount = 58;
inline constexpr int fontFirstExtraGlyph = 95;   // the glyph of fontCodePoints[0]
inline constexpr int fontQuestionMarkGlyph = 31; // drawn for every code point the font lacks

// Glyph g is bytes 8g to 8g + 7.
extern const std::uint8_t fontGlyphs[fontGlyphCount * fontGlyphHeight];

// The non-ASCII code points the font draws, strictly ascending: entry i is glyph 95 + i.
extern const std::uint32_t fontCodePoints[fontCodePointCount];

} // namespace qv::launcher
