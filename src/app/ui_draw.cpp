#include "app/ui_draw.h"

#include "app/display_scale.h"

#include "base/text.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace qv::launcher {

namespace {

UiVertex vertex(float x, float y, float u, float v, const Color& c, float mode) {
    return UiVertex{x, y, u, v, c.r, c.g, c.b, c.a, mode};
}

UiVertex flat(float x, float y, const Color& c) {
    return vertex(x, y, 0.0f, 0.0f, c, 0.0f);
}

struct Point {
    float x, y;
};

// The longest line, in code points, whose width at scale s stays within maxWidth; at least 1.
// Scales of 0 or below and widths below -s have no sensible answer; they give 1 (or, for a
// width over a zero scale, no limit) instead of an out-of-range conversion.
std::size_t lineCapacity(float s, float maxWidth) {
    const float m = (maxWidth + s) / (6.0f * s);
    if (!(m >= 1.0f)) return 1;
    if (m >= 4294967295.0f) return 4294967295u;
    return static_cast<std::size_t>(m);
}

// Code points from pos up to end, the way countCodePoints counts them in a text that ends at end.
// The same as long as the byte at end (if any) is no continuation byte: a space, or where
// codePointEnd stopped.
std::size_t codePointsBetween(const std::string& text, std::size_t pos, std::size_t end) {
    std::size_t n = 0;
    while (pos < end) {
        nextCodePoint(text, pos);
        ++n;
    }
    return n;
}

// The greedy wrapping itself, on byte positions of text: emit(begin, end) receives each line in
// order and returns false to stop early. Every line is one piece of the text: words joined by
// the single spaces that separated them, or a part of a long word.
template <class Emit>
void wrapLines(const std::string& text, float s, float maxWidth, Emit&& emit) {
    const std::size_t m = lineCapacity(s, maxWidth);
    std::size_t lineBegin = 0;
    std::size_t lineEnd = 0;
    std::size_t lineLength = 0; // code points in the line, 0 exactly when it is empty
    bool emitted = false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(' ', start);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        std::size_t word = start;
        std::size_t k = codePointsBetween(text, word, end);

        if (lineLength > 0 && lineLength + 1 + k <= m) {
            lineEnd = end; // the space before the word and the word
            lineLength += 1 + k;
        } else {
            if (lineLength > 0) {
                if (!emit(lineBegin, lineEnd)) return;
                emitted = true;
                lineLength = 0;
            }
            // A word longer than a whole line is cut into full lines, never inside a character;
            // what remains starts the next line. Invalid bytes can make codePointEnd take more
            // than one counted code point at a time, so the cut stops at the word's end.
            // What is left is counted by taking off the cut piece's own count, not by counting
            // the rest of the word again, which would make a long word cost its length squared.
            while (k > m) {
                std::size_t cut = word;
                for (std::size_t i = 0; i < m && cut < end; ++i)
                    cut = codePointEnd(text, cut);
                if (!emit(word, cut)) return;
                emitted = true;
                k -= codePointsBetween(text, word, cut);
                word = cut;
            }
            lineBegin = word;
            lineEnd = end;
            lineLength = k;
        }

        if (last) break;
        start = end + 1;
    }
    if (lineLength > 0 || !emitted) emit(lineBegin, lineEnd);
}

} // namespace

void addTriangle(UiRenderer& ui, const UiVertex& a, const UiVertex& b, const UiVertex& c) {
    ui.vertices.push_back(a);
    ui.vertices.push_back(b);
    ui.vertices.push_back(c);
}

void addQuad(UiRenderer& ui, float x0, float y0, float x1, float y1, float uLeft, float vTop,
             float uRight, float vBottom, const Color& color, float mode) {
    const UiVertex tl = vertex(x0, y0, uLeft, vTop, color, mode);
    const UiVertex tr = vertex(x1, y0, uRight, vTop, color, mode);
    const UiVertex br = vertex(x1, y1, uRight, vBottom, color, mode);
    const UiVertex bl = vertex(x0, y1, uLeft, vBottom, color, mode);
    addTriangle(ui, tl, tr, br);
    addTriangle(ui, tl, br, bl);
}

void fillRect(UiRenderer& ui, float x, float y, float w, float h, const Color& color) {
    addQuad(ui, x, y, x + w, y + h, 0.0f, 0.0f, 0.0f, 0.0f, color, 0.0f);
}

void fillGradient(UiRenderer& ui, float x, float y, float w, float h, const Color& top,
                  const Color& bottom) {
    const UiVertex tl = flat(x, y, top);
    const UiVertex tr = flat(x + w, y, top);
    const UiVertex br = flat(x + w, y + h, bottom);
    const UiVertex bl = flat(x, y + h, bottom);
    addTriangle(ui, tl, tr, br);
    addTriangle(ui, tl, br, bl);
}

void drawGlow(UiRenderer& ui, float cx, float cy, float r, const Color& color) {
    addQuad(ui, cx - r, cy - r, cx + r, cy + r, -1.0f, -1.0f, 1.0f, 1.0f, color, 2.0f);
}

void drawLine(UiRenderer& ui, float x0, float y0, float x1, float y1, float t, const Color& color) {
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float len = std::sqrt(dx * dx + dy * dy);
    if (!(len > 0.0f)) return;
    const float nx = -dy / len * t * 0.5f;
    const float ny = dx / len * t * 0.5f;
    const UiVertex a = flat(x0 + nx, y0 + ny, color);
    const UiVertex b = flat(x1 + nx, y1 + ny, color);
    const UiVertex c = flat(x1 - nx, y1 - ny, color);
    const UiVertex d = flat(x0 - nx, y0 - ny, color);
    addTriangle(ui, a, b, c);
    addTriangle(ui, a, c, d);
}

void drawPanel(UiRenderer& ui, float x, float y, float w, float h, float cut, const Color& fill,
               const Color& border) {
    const float right = x + w;
    const float bottom = y + h;
    const Point p[8] = {
        {x + cut, y},          {right - cut, y},  {right, y + cut},  {right, bottom - cut},
        {right - cut, bottom}, {x + cut, bottom}, {x, bottom - cut}, {x, y + cut},
    };
    const UiVertex centre = flat(x + w * 0.5f, y + h * 0.5f, fill);
    for (int i = 1; i <= 8; ++i) {
        const Point& a = p[i - 1];
        const Point& b = p[i % 8];
        addTriangle(ui, centre, flat(a.x, a.y, fill), flat(b.x, b.y, fill));
    }
    if (border.a > 0.0f) {
        for (int i = 1; i <= 8; ++i)
            drawLine(ui, p[i - 1].x, p[i - 1].y, p[i % 8].x, p[i % 8].y, 1.0f, border);
    }
}

void drawText(UiRenderer& ui, const std::string& text, float x, float y, float s,
              const Color& color) {
    const float atlasW = static_cast<float>(uiAtlasWidth);
    const float atlasH = static_cast<float>(uiAtlasHeight);
    const float glyphU = 5.0f / atlasW;
    const float glyphV = 8.0f / atlasH;
    // The pen itself stays unrounded, so rounding never accumulates along the line; only where
    // each glyph lands is snapped to a framebuffer pixel, and each font pixel covers whole
    // framebuffer pixels, which keeps the font crisp at any display scale.
    const float ppu = ui.pixelsPerUnit;
    const float cell = glyphPixelUnits(s, ppu);
    const float py = snapToPixel(y, ppu);
    float pen = x;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::uint32_t cp = nextCodePoint(text, pos);
        if (cp != 0x20) {
            const int g = glyphIndex(cp);
            const float uLeft = static_cast<float>((g % 16) * 6) / atlasW;
            const float vTop = static_cast<float>((g / 16) * 9) / atlasH;
            const float px = snapToPixel(pen, ppu);
            addQuad(ui, px, py, px + 5.0f * cell, py + 8.0f * cell, uLeft, vTop, uLeft + glyphU,
                    vTop + glyphV, color, 1.0f);
        }
        pen += 6.0f * s;
    }
}

float textWidth(const std::string& text, float s) {
    const std::size_t n = countCodePoints(text);
    if (n == 0) return 0.0f;
    return (static_cast<float>(n) * 6.0f - 1.0f) * s;
}

std::vector<std::string> wrapText(const std::string& text, float s, float maxWidth) {
    std::vector<std::string> lines;
    wrapLines(text, s, maxWidth, [&](std::size_t begin, std::size_t end) {
        lines.emplace_back(text, begin, end - begin);
        return true;
    });
    return lines;
}

void wrapText(const std::string& text, float s, float maxWidth,
              std::vector<std::string_view>& lines) {
    lines.clear();
    wrapLines(text, s, maxWidth, [&](std::size_t begin, std::size_t end) {
        lines.emplace_back(text.data() + begin, end - begin);
        return true;
    });
}

void fitToWidth(std::string& text, float s, float maxWidth) {
    const std::size_t room = maxWidth >= 5.0f * s ? lineCapacity(s, maxWidth) : 0;
    if (countCodePoints(text) <= room) return;
    const std::size_t dots = std::min<std::size_t>(3, room);
    std::size_t end = 0;
    for (std::size_t i = 0; i + dots < room && end < text.size(); ++i)
        nextCodePoint(text, end);
    text.erase(end);
    text.append(dots, '.');
}

std::string_view tailThatFits(const std::string& text, float s, float maxWidth) {
    const std::size_t room = maxWidth >= 5.0f * s ? lineCapacity(s, maxWidth) : 0;
    std::size_t total = countCodePoints(text);
    std::size_t start = 0;
    for (; total > room; --total)
        nextCodePoint(text, start);
    return std::string_view(text).substr(start);
}

void keepFirstWrappedLine(std::string& text, float s, float maxWidth) {
    std::size_t first = 0;
    std::size_t last = 0;
    wrapLines(text, s, maxWidth, [&](std::size_t begin, std::size_t end) {
        first = begin;
        last = end;
        return false;
    });
    text.erase(last);
    text.erase(0, first);
}

} // namespace qv::launcher
