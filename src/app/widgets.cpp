#include "app/widgets.h"

#include "app/palette.h"
#include "app/ui_draw.h"

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

// The news is wrapped anew every frame; these buffers keep their capacity from one frame to the
// next, so once they have grown to the news a frame allocates nothing. They carry no state: each
// call overwrites them before it reads them. One set per thread, so no two callers share one.
struct NewsBuffers {
    std::string body;                    // the text of a line, markers and asterisk pairs removed
    std::vector<std::string_view> lines; // body wrapped: views into it
    std::string piece;                   // one line to draw, as drawText takes it
};

NewsBuffers& newsBuffers() {
    thread_local NewsBuffers buffers;
    return buffers;
}

// Draws body wrapped at scale s to width, one line every advance units from y; returns the y
// below the last line.
float drawWrapped(UiRenderer& ui, NewsBuffers& b, float x, float y, float s, float width,
                  float advance, const Color& color) {
    wrapText(b.body, s, width, b.lines);
    for (std::string_view line : b.lines) {
        b.piece.assign(line);
        drawText(ui, b.piece, x, y, s, color);
        y += advance;
    }
    return y;
}

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

float drawNews(UiRenderer& ui, const std::string& text, float x, float y0, float width) {
    NewsBuffers& b = newsBuffers();
    const std::string_view news = text;
    float y = y0;
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
            y = drawWrapped(ui, b, x, y, 3.0f, width, 33.0f, paletteGoldLight) + 4.0f;
        } else if (line.size() >= 5 && startsWith(line, "**") &&
                   line.substr(line.size() - 2) == "**") {
            b.piece.assign(line.substr(2, line.size() - 4));
            drawText(ui, b.piece, x, y + 6.0f, 2.0f, paletteAccent);
            y += 30.0f;
        } else if (startsWith(line, "- ")) {
            fillRect(ui, x + 3.0f, y + 6.0f, 5.0f, 5.0f, paletteGold);
            removeAsteriskPairs(line.substr(2), b.body);
            y = drawWrapped(ui, b, x + 16.0f, y, 2.0f, width - 16.0f, 22.0f, paletteText) + 2.0f;
        } else {
            removeAsteriskPairs(line, b.body);
            y = drawWrapped(ui, b, x, y, 2.0f, width, 22.0f, paletteText) + 2.0f;
        }
    }
    return y - y0;
}

} // namespace qv::launcher
