// Reading a renderer's batch back as text, for tests that check what was drawn without an
// OpenGL context: colours compared exactly, and the lines of text rebuilt from the glyph quads.
#pragma once

#include "app/ui_draw.h"
#include "app/ui_renderer.h"

#include <cmath>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace qv::launcher {

inline bool operator==(const Color& a, const Color& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}
inline void PrintTo(const Color& c, std::ostream* os) {
    *os << "{" << c.r << ", " << c.g << ", " << c.b << ", " << c.a << "}";
}

namespace test {

// The text lines drawn, rebuilt from the glyph quads: each glyph's character from its atlas
// cell, the spaces from the gaps between pen positions.
struct DrawnLine {
    float x, y, scale;
    std::string text;
    Color color;
    bool operator==(const DrawnLine& o) const {
        return std::tie(x, y, scale, text) == std::tie(o.x, o.y, o.scale, o.text) &&
               color == o.color;
    }
};
inline void PrintTo(const DrawnLine& l, std::ostream* os) {
    *os << "(" << l.x << ", " << l.y << ") scale " << l.scale << " \"" << l.text << "\" ";
    PrintTo(l.color, os);
}

inline std::vector<DrawnLine> drawnLines(const std::vector<UiVertex>& vertices) {
    std::vector<DrawnLine> out;
    for (std::size_t i = 0; i + 6 <= vertices.size(); i += 6) {
        const UiVertex& tl = vertices[i];
        if (tl.mode != 1.0f) continue;
        const int g = static_cast<int>(std::lround(tl.u * 96.0f / 6.0f)) +
                      16 * static_cast<int>(std::lround(tl.v * 90.0f / 9.0f));
        const char ch = g < 95 ? static_cast<char>(' ' + g) : '@';
        const float scale = (vertices[i + 1].x - tl.x) / 5.0f;
        const Color c{tl.r, tl.g, tl.b, tl.a};
        DrawnLine* line = out.empty() ? nullptr : &out.back();
        if (line == nullptr || line->y != tl.y || line->scale != scale || !(line->color == c)) {
            out.push_back(DrawnLine{tl.x, tl.y, scale, "", c});
            line = &out.back();
        }
        const auto column = static_cast<std::size_t>(std::lround((tl.x - line->x) / (6 * scale)));
        line->text.resize(column, ' ');
        line->text += ch;
    }
    return out;
}
inline std::vector<DrawnLine> drawnLines(const UiRenderer& ui) {
    return drawnLines(ui.vertices);
}

} // namespace test
} // namespace qv::launcher
