#include "app/widgets.h"

#include "app/palette.h"
#include "app/ui_draw.h"

#include <string>
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

bool startsWith(const std::string& s, const char* prefix, std::size_t n) {
    return s.size() >= n && s.compare(0, n, prefix) == 0;
}

// Removing every "**" until none is left keeps one asterisk of an odd run and none of an even
// one; a removal never joins two asterisks into a new pair before it, so one pass over the runs
// gives the same text.
std::string removeAsteriskPairs(const std::string& text) {
    std::string out;
    out.reserve(text.size());
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
    return out;
}

} // namespace

bool button(UiRenderer& ui, const UiInput& input, float x, float y, float w, float h,
            const std::string& label, float s, bool enabled, bool primary) {
    const bool hovered = enabled && x <= input.mouseX && input.mouseX < x + w &&
                         y <= input.mouseY && input.mouseY < y + h;
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
    float y = y0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        if (line.empty()) {
            y += 11.0f;
        } else if (startsWith(line, "# ", 2)) {
            for (const std::string& wrapped : wrapText(line.substr(2), 3.0f, width)) {
                drawText(ui, wrapped, x, y, 3.0f, paletteGoldLight);
                y += 33.0f;
            }
            y += 4.0f;
        } else if (line.size() >= 5 && startsWith(line, "**", 2) &&
                   line.compare(line.size() - 2, 2, "**") == 0) {
            drawText(ui, line.substr(2, line.size() - 4), x, y + 6.0f, 2.0f, paletteAccent);
            y += 30.0f;
        } else if (startsWith(line, "- ", 2)) {
            fillRect(ui, x + 3.0f, y + 6.0f, 5.0f, 5.0f, paletteGold);
            const std::string body = removeAsteriskPairs(line.substr(2));
            for (const std::string& wrapped : wrapText(body, 2.0f, width - 16.0f)) {
                drawText(ui, wrapped, x + 16.0f, y, 2.0f, paletteText);
                y += 22.0f;
            }
            y += 2.0f;
        } else {
            for (const std::string& wrapped : wrapText(removeAsteriskPairs(line), 2.0f, width)) {
                drawText(ui, wrapped, x, y, 2.0f, paletteText);
                y += 22.0f;
            }
            y += 2.0f;
        }
    }
    return y - y0;
}

} // namespace qv::launcher
