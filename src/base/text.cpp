#include "base/text.h"

#include "base/font.h"

namespace qv::launcher {

namespace {

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

unsigned char byteAt(const std::string& text, std::size_t i) {
    return static_cast<unsigned char>(text[i]);
}

} // namespace

std::uint32_t nextCodePoint(const std::string& text, std::size_t& pos) {
    const std::size_t n = text.size();
    const std::size_t p = pos;
    if (p >= n) return 0;
    const unsigned char b = byteAt(text, p);
    if (b < 0x80) {
        pos = p + 1;
        return b;
    }
    // A lead byte only counts when all of its continuation bytes are there; otherwise the lead
    // byte alone is the code point, so a Latin-1 byte in the text still draws as itself.
    if ((b & 0xE0) == 0xC0 && p + 1 < n) {
        const unsigned char c1 = byteAt(text, p + 1);
        if (isContinuation(c1)) {
            pos = p + 2;
            return (std::uint32_t(b & 0x1F) << 6) | (c1 & 0x3Fu);
        }
    } else if ((b & 0xF0) == 0xE0 && p + 2 < n) {
        const unsigned char c1 = byteAt(text, p + 1);
        const unsigned char c2 = byteAt(text, p + 2);
        if (isContinuation(c1) && isContinuation(c2)) {
            pos = p + 3;
            return (std::uint32_t(b & 0x0F) << 12) | (std::uint32_t(c1 & 0x3F) << 6) | (c2 & 0x3Fu);
        }
    } else if ((b & 0xF8) == 0xF0 && p + 3 < n) {
        const unsigned char c1 = byteAt(text, p + 1);
        const unsigned char c2 = byteAt(text, p + 2);
        const unsigned char c3 = byteAt(text, p + 3);
        if (isContinuation(c1) && isContinuation(c2) && isContinuation(c3)) {
            pos = p + 4;
            return (std::uint32_t(b & 0x07) << 18) | (std::uint32_t(c1 & 0x3F) << 12) |
                   (std::uint32_t(c2 & 0x3F) << 6) | (c3 & 0x3Fu);
        }
    }
    pos = p + 1;
    return b;
}

std::size_t countCodePoints(const std::string& text) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        nextCodePoint(text, pos);
        ++count;
    }
    return count;
}

std::size_t codePointEnd(const std::string& text, std::size_t pos) {
    const std::size_t n = text.size();
    if (pos >= n) return n;
    std::size_t i = pos + 1;
    while (i < n && isContinuation(byteAt(text, i)))
        ++i;
    return i;
}

std::size_t codePointStart(const std::string& text, std::size_t pos) {
    // A position past the end would make us read outside the text; treat it as the end.
    if (pos > text.size()) pos = text.size();
    if (pos == 0) return 0;
    std::size_t i = pos - 1;
    while (i > 0 && isContinuation(byteAt(text, i)))
        --i;
    return i;
}

std::size_t popCodePoint(std::string& text) {
    while (!text.empty()) {
        const unsigned char last = byteAt(text, text.size() - 1);
        text.pop_back();
        if (!isContinuation(last)) break;
    }
    return text.size();
}

void appendUtf8(std::string& text, std::uint32_t v) {
    if (v < 0x80) {
        text.push_back(static_cast<char>(v));
    } else if (v < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (v >> 6)));
        text.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else if (v < 0x10000) {
        text.push_back(static_cast<char>(0xE0 | (v >> 12)));
        text.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else {
        // Values beyond 0x1FFFFF keep only the low 8 bits of the lead byte (0xF8 and up), which
        // the decoder then reads back as single bytes.
        text.push_back(static_cast<char>((0xF0 | (v >> 18)) & 0xFF));
        text.push_back(static_cast<char>(0x80 | ((v >> 12) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
}

int glyphIndex(std::uint32_t v) {
    if (v >= 32 && v <= 126) return static_cast<int>(v - 32);
    int low = 0;
    int high = fontCodePointCount - 1;
    while (low <= high) {
        const int middle = (low + high) / 2;
        const std::uint32_t entry = fontCodePoints[middle];
        if (entry == v) return fontFirstExtraGlyph + middle;
        if (entry < v) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return fontQuestionMarkGlyph;
}

bool fontDrawsAll(const std::string& text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::uint32_t v = nextCodePoint(text, pos);
        if (v != '?' && glyphIndex(v) == fontQuestionMarkGlyph) return false;
    }
    return true;
}

} // namespace qv::launcher
