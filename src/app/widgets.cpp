#include "app/widgets.h"

#include "app/palette.h"
#include "app/ui_draw.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace qv::launcher {

namespace {

struct ButtonLook {
    const Color* fill;   // primary only
    const Color* border; // primary only
    float glowAlpha;     // factor on paletteFlame's alpha; 0 for no glow
    const Color* label;
    bool underline;
};

ButtonLook buttonLook(bool primary, bool enabled, bool hovered) {
    if (primary) {
        if (!enabled) return {&palettePanelDark, &paletteGrey, 0.0f, &paletteTextFaint, false};
        if (hovered)
            return {&paletteButtonHover, &paletteGoldLight, 0.22f, &paletteTextBright, false};
        return {&paletteButton, &paletteGold, 0.1f, &paletteText, false};
    }
    if (!enabled) return {nullptr, nullptr, 0.0f, &paletteTextFaint, false};
    if (hovered) return {nullptr, nullptr, 0.0f, &paletteTextBright, true};
    return {nullptr, nullptr, 0.0f, &paletteTextDim, false};
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Removing every "**" until none is left keeps one asterisk of an odd run and none of an even
// one; a removal never joins two asterisks into a new pair before it, so one pass over the runs
// gives the same text. Writes into out, whose capacity is reused.
void removeAsteriskPairs(std::string_view text, std::string& out) {
    out.clear();
    std::size_t run = 0;
    for (char c : text) {
        if (c == '*') {
            ++run;
            continue;
        }
        if (run % 2 == 1) out += '*';
        run = 0;
        out += c;
    }
    if (run % 2 == 1) out += '*';
}

// Working buffers of a layout; they keep their capacity from one layout to the next.
struct NewsBuffers {
    std::string body;                    // the text of a line, markers and asterisk pairs removed
    std::vector<std::string_view> lines; // body wrapped: views into it
};

// Appends one piece whose text is the given bytes.
void addPiece(NewsLayout& layout, float x, float top, float dy, float scale, const Color& color,
              std::string_view text) {
    const std::size_t begin = layout.glyphs.size();
    layout.glyphs.append(text);
    layout.pieces.push_back({x, top, dy, scale, &color, begin, layout.glyphs.size()});
}

// Lays body out wrapped at scale s to width, one line every advance units from top; returns the
// top below the last line.
float addWrapped(NewsLayout& layout, NewsBuffers& b, float x, float top, float s, float width,
                 float advance, const Color& color) {
    wrapText(b.body, s, width, b.lines);
    for (std::string_view line : b.lines) {
        addPiece(layout, x, top, 0.0f, s, color, line);
        top += advance;
    }
    return top;
}

// The lowest a piece reaches below its line's top: a heading's glyphs, 24 units.
const float kTallestPiece = 24.0f;

} // namespace

bool button(UiRenderer& ui, const UiInput& input, float x, float y, float w, float h,
            const std::string& label, float s, bool enabled, bool primary) {
    const bool hovered = enabled && mouseInside(input, x, y, w, h);
    const ButtonLook look = buttonLook(primary, enabled, hovered);

    if (primary) {
        drawPanel(ui, x, y, w, h, 10.0f, *look.fill, *look.border);
        if (look.glowAlpha > 0.0f)
            drawGlow(ui, x + 0.5f * w, y + 0.5f * h, 0.6f * w,
                     withAlpha(paletteFlame, look.glowAlpha));
    }

    const float tw = textWidth(label, s);
    const float ty = y + (h - 8.0f * s) * 0.5f;
    const float tx = primary ? x + (w - tw) * 0.5f : x;
    drawText(ui, label, tx + s, ty + s, s, withAlpha(paletteShadow, 0.8f));
    drawText(ui, label, tx, ty, s, *look.label);
    if (look.underline) fillRect(ui, tx, ty + 8.0f * s + 3.0f, tw, 1.0f, paletteAccent);

    return hovered && input.clicked;
}

float layoutNews(NewsLayout& layout, const std::string& text, float width) {
    if (layout.width == width && layout.source == text) return layout.height;
    layout.source = text;
    layout.width = width;
    layout.glyphs.clear();
    layout.pieces.clear();
    thread_local NewsBuffers b;
    const std::string_view news = layout.source;
    float y = 0.0f;
    std::size_t start = 0;
    while (start < news.size()) {
        std::size_t end = news.find('\n', start);
        if (end == std::string_view::npos) end = news.size();
        const std::string_view line = news.substr(start, end - start);
        start = end + 1;

        if (line.empty()) {
            y += 11.0f;
        } else if (startsWith(line, "# ")) {
            b.body.assign(line.substr(2));
            y = addWrapped(layout, b, 0.0f, y, 3.0f, width, 33.0f, paletteGoldLight) + 4.0f;
        } else if (line.size() >= 5 && startsWith(line, "**") &&
                   line.substr(line.size() - 2) == "**") {
            addPiece(layout, 0.0f, y, 6.0f, 2.0f, paletteAccent, line.substr(2, line.size() - 4));
            y += 30.0f;
        } else if (startsWith(line, "- ")) {
            addPiece(layout, 3.0f, y, 6.0f, 0.0f, paletteGold, {});
            removeAsteriskPairs(line.substr(2), b.body);
            y = addWrapped(layout, b, 16.0f, y, 2.0f, width - 16.0f, 22.0f, paletteText) + 2.0f;
        } else {
            removeAsteriskPairs(line, b.body);
            y = addWrapped(layout, b, 0.0f, y, 2.0f, width, 22.0f, paletteText) + 2.0f;
        }
    }
    layout.height = y;
    return y;
}

void drawNewsLayout(UiRenderer& ui, NewsLayout& layout, float x, float y, float visibleTop,
                    float visibleBottom) {
    // The pieces are in the order of their tops, so the first one in view is found by halving.
    const float from = visibleTop - y - kTallestPiece;
    const auto first =
        std::lower_bound(layout.pieces.begin(), layout.pieces.end(), from,
                         [](const NewsLayout::Piece& piece, float top) { return piece.top < top; });
    for (auto it = first; it != layout.pieces.end() && y + it->top <= visibleBottom; ++it) {
        const NewsLayout::Piece& piece = *it;
        if (piece.scale == 0.0f) {
            fillRect(ui, x + piece.x, y + piece.top + piece.dy, 5.0f, 5.0f, *piece.color);
            continue;
        }
        layout.scratch.assign(layout.glyphs, piece.begin, piece.end - piece.begin);
        drawText(ui, layout.scratch, x + piece.x, y + piece.top + piece.dy, piece.scale,
                 *piece.color);
    }
}

float drawNews(UiRenderer& ui, const std::string& text, float x, float y0, float width) {
    // One kept layout per thread, so drawing the same news again costs no wrapping.
    thread_local NewsLayout layout;
    const float height = layoutNews(layout, text, width);
    const float everything = std::numeric_limits<float>::infinity();
    drawNewsLayout(ui, layout, x, y0, -everything, everything);
    return height;
}

} // namespace qv::launcher
