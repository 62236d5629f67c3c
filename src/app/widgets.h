// The launcher's widgets, immediate mode: each is a function that draws itself into the renderer's
// batch and reports the interaction in the same call; no state is kept between frames.
#pragma once

#include "app/ui_draw.h"
#include "app/ui_input.h"
#include "app/ui_renderer.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qv::launcher {

// A button over the rectangle (x, y, w, h) with its label at text scale s. The primary look is an
// octagonal panel with a glow and a centred label; the plain look is a left-aligned text link,
// underlined while hovered. Returns true when the enabled button is under the mouse in the frame
// whose input has `clicked`; a disabled button is never hovered or clicked.
bool button(UiRenderer& ui, const UiInput& input, float x, float y, float w, float h,
            const std::string& label, float s, bool enabled, bool primary);

// The news laid out for one column width and kept from frame to frame: wrapping the whole text
// is linear in its length but still far more than a frame's work for the largest news, so it is
// done again only when the text or the width changes, and a frame draws only the lines in view.
struct NewsLayout {
    // One thing to draw: a line of text, or a bullet's square (scale 0).
    struct Piece {
        float x;     // from the column's left edge
        float top;   // the top of its line, from the column's top; never decreasing piece by piece
        float dy;    // where it is drawn below the line's top
        float scale; // of the text; 0 for the square
        const Color* color;
        std::size_t begin, end; // its text in glyphs
    };
    std::string source; // the news as laid out
    float width = -1.0f;
    std::string glyphs; // the text of every piece, one after the other
    std::vector<Piece> pieces;
    float height = 0.0f;
    std::string scratch; // one piece's text as drawText takes it
};

// Lays the news text out for the column width, unless the layout holds that text at that width
// already: one line of markup at a time ("# " heading, "**...**" emphasised line, "- " bullet,
// paragraph, empty line for a gap), word-wrapped. Returns the height it takes.
float layoutNews(NewsLayout& layout, const std::string& text, float width);

// Draws the laid-out pieces with the column's top left at (x, y), only those whose line reaches
// into the band of window y from visibleTop to visibleBottom; nothing is clipped here.
void drawNewsLayout(UiRenderer& ui, NewsLayout& layout, float x, float y, float visibleTop,
                    float visibleBottom);

// Draws the news text into the column of the given width whose top left is (x, y), every line,
// not clipped; the layout is kept for the next call with the same text and width. Returns the
// height used.
float drawNews(UiRenderer& ui, const std::string& text, float x, float y, float width);

} // namespace qv::launcher
