// Stepping through UTF-8 text by code point, and the lookup from a code point to a glyph of the
// built-in font. Every drawn text passes through here, so nothing allocates (apart from
// appendUtf8 growing its string) and nothing fails: text need not be valid UTF-8, and a byte that
// does not begin a complete sequence stands for the code point of its own value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::launcher {

// The code point at pos, moving pos past the 1 to 4 bytes it used. At or past the end of the
// text: 0, and pos stays. Overlong forms, surrogates and values up to 0x1FFFFF decode by their
// bit pattern alone.
std::uint32_t nextCodePoint(const std::string& text, std::size_t& pos);

// How many nextCodePoint steps lead from the start to the end of the text.
std::size_t countCodePoints(const std::string& text);

// The position just past the code point that starts at pos: pos + 1 and then past every
// continuation byte, never beyond the text's size (the size itself when pos is at or past it).
std::size_t codePointEnd(const std::string& text, std::size_t pos);

// Where the code point before pos starts: back over continuation bytes, but never before 0.
std::size_t codePointStart(const std::string& text, std::size_t pos);

// Removes the last code point (trailing continuation bytes and the byte before them); returns
// the new size.
std::size_t popCodePoint(std::string& text);

// Appends the UTF-8 form of v, chosen by the size of v alone; no value is refused.
void appendUtf8(std::string& text, std::uint32_t v);

// The glyph of the built-in font that draws v, 0 to 152: printable ASCII by its code, the
// font's further code points by their table, everything else as the question mark (31).
int glyphIndex(std::uint32_t v);

// Whether the built-in font draws every code point of the text as itself, none as the question
// mark in its place: a system's message in another script is no text a player can read there.
bool fontDrawsAll(const std::string& text);

} // namespace qv::launcher
