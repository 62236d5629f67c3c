// Renders the built-in font with the PNG writer, to look at it: running text at its true size,
// the same text magnified, and a labelled grid of every glyph with its descender row shaded.
//   render_font_sheet [output.png] [scale]     (defaults "font-sheet.png" and 6)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/font.h"
#include "base/png.h"
#include "base/text.h"

using namespace qv::launcher;

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

constexpr Rgb ink{0, 0, 0};
constexpr Rgb cellBody{222, 226, 232};
constexpr Rgb cellDescender{242, 208, 208};
constexpr Rgb cellInk{16, 16, 16};
constexpr Rgb labelInk{90, 90, 90};

struct Canvas {
    int width;
    int height;
    std::vector<std::uint8_t> rgb;

    Canvas(int w, int h) : width(w), height(h), rgb(std::size_t(w) * h * 3, 255) {}

    void fill(int x, int y, int w, int h, Rgb c) {
        for (int yy = y; yy < y + h; ++yy)
            for (int xx = x; xx < x + w; ++xx) {
                if (xx < 0 || yy < 0 || xx >= width || yy >= height) continue;
                std::uint8_t* p = &rgb[(std::size_t(yy) * width + xx) * 3];
                p[0] = c.r;
                p[1] = c.g;
                p[2] = c.b;
            }
    }

    void glyph(int g, int x, int y, int scale, Rgb c) {
        for (int row = 0; row < fontGlyphHeight; ++row) {
            const std::uint8_t bits = fontGlyphs[g * fontGlyphHeight + row];
            for (int col = 0; col < fontGlyphWidth; ++col)
                if (bits & (0x10 >> col)) fill(x + col * scale, y + row * scale, scale, scale, c);
        }
    }

    void text(const std::string& s, int x, int y, int scale, Rgb c) {
        std::size_t pos = 0;
        while (pos < s.size()) {
            glyph(glyphIndex(nextCodePoint(s, pos)), x, y, scale, c);
            x += 6 * scale;
        }
    }
};

// Every glyph in order as running text, sixteen to a line, then a few phrases.
std::vector<std::string> sampleLines() {
    std::vector<std::string> lines;
    std::string line;
    for (int g = 0; g < fontGlyphCount; ++g) {
        const std::uint32_t v = g < fontFirstExtraGlyph ? std::uint32_t(32 + g)
                                                        : fontCodePoints[g - fontFirstExtraGlyph];
        appendUtf8(line, v);
        if (g % 16 == 15 || g == fontGlyphCount - 1) {
            lines.push_back(line);
            line.clear();
        }
    }
    lines.push_back("");
    lines.push_back("The quick brown fox jumps over the lazy dog.");
    lines.push_back("THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG?");
    lines.push_back("0123456789 (yes) [1,2] {a;b} #$%&*+/<=>@\\^_`|~");
    lines.push_back("Playtester key not accepted; showing Live");
    lines.push_back("déjà vu, ça va? crème brûlée, señor, naïve,");
    lines.push_back("smörgåsbord, æble, øl, fußball, ¿qué? ¡sí!");
    lines.push_back("12,50 € – “quoted” — ‘single’ ±5° 3×4 ÷2 · ©®");
    lines.push_back("← ↑ → ↓ ♥ ✓ ✗ • … ¢ £ ¥ ì í î ï ò ó ô õ ù ú û");
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    const char* out = argc > 1 ? argv[1] : "font-sheet.png";
    const int scale = argc > 2 ? std::atoi(argv[2]) : 6;
    if (scale < 1 || scale > 32) {
        std::fprintf(stderr, "scale must be 1 to 32\n");
        return 2;
    }
    const int zoom = scale > 2 ? scale / 2 : 1;
    const std::vector<std::string> lines = sampleLines();
    std::size_t longest = 0;
    for (const std::string& l : lines)
        longest = std::max(longest, countCodePoints(l));

    const int margin = 8;
    const int lineStep = 10; // 8 rows of glyph and 2 of leading
    const int textWidth = int(longest) * 6;
    const int textHeight = int(lines.size()) * lineStep;
    const int columns = 16;
    const int cellWidth = std::max(fontGlyphWidth * scale, 3 * 6 * 2) + 12;
    const int cellHeight = fontGlyphHeight * scale + 2 + 8 * 2 + 10;
    const int gridRows = (fontGlyphCount + columns - 1) / columns;

    const int width = 2 * margin + std::max({textWidth, textWidth * zoom, columns * cellWidth});
    const int height =
        margin + textHeight + margin + textHeight * zoom + margin + gridRows * cellHeight + margin;
    Canvas canvas(width, height);

    int y = margin;
    for (const std::string& l : lines) {
        canvas.text(l, margin, y, 1, ink);
        y += lineStep;
    }
    y += margin;
    for (const std::string& l : lines) {
        canvas.text(l, margin, y, zoom, ink);
        y += lineStep * zoom;
    }
    y += margin;

    for (int g = 0; g < fontGlyphCount; ++g) {
        const int x0 = margin + (g % columns) * cellWidth;
        const int y0 = y + (g / columns) * cellHeight;
        canvas.fill(x0, y0, fontGlyphWidth * scale, 7 * scale, cellBody);
        canvas.fill(x0, y0 + 7 * scale, fontGlyphWidth * scale, scale, cellDescender);
        canvas.glyph(g, x0, y0, scale, cellInk);
        canvas.text(std::to_string(g), x0, y0 + fontGlyphHeight * scale + 2, 2, labelInk);
    }

    return writePng(out, canvas.rgb.data(), width, height, 3, false) ? 0 : 1;
}
