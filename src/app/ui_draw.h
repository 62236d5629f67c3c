// The shapes and text that the launcher's screen is made of. Each drawing operation appends
// triangles to the renderer's batch (nothing is drawn until it flushes; later shapes cover
// earlier ones) and needs no OpenGL context. Coordinates are floats in logical window units,
// origin top left, y downwards; only text positions are rounded, to framebuffer pixels.
//
// Text uses the built-in 5 by 8 font at a scale s: a glyph is a 5s by 8s quad, the pen advances
// 6s per code point, and a text of n code points is (6n - 1) * s wide and 8s tall. Where s times
// the display scale is not a whole number of pixels, each font pixel is drawn that product
// rounded, halves down (so a glyph may come out a fraction of a unit larger or smaller); the advance and the
// measured width stay as they are, so the layout never moves with the display.
#pragma once

#include "app/ui_renderer.h"

#include <string>
#include <string_view>
#include <vector>

namespace qv::launcher {

// Straight (not premultiplied) alpha, each component 0 to 1.
struct Color {
    float r, g, b, a;
};

// The colour with its alpha multiplied by factor (the palette colours "at alpha 0.6" and such).
inline Color withAlpha(const Color& c, float factor) {
    return Color{c.r, c.g, c.b, c.a * factor};
}

void addTriangle(UiRenderer& ui, const UiVertex& a, const UiVertex& b, const UiVertex& c);

// Two triangles TL, TR, BR and TL, BR, BL over the corners (x0, y0) to (x1, y1), with the atlas
// or disc coordinates of those corners, the colour and the mode.
void addQuad(UiRenderer& ui, float x0, float y0, float x1, float y1, float uLeft, float vTop,
             float uRight, float vBottom, const Color& color, float mode);

void fillRect(UiRenderer& ui, float x, float y, float w, float h, const Color& color);

// A vertical gradient: the top edge in top, the bottom edge in bottom.
void fillGradient(UiRenderer& ui, float x, float y, float w, float h, const Color& top,
                  const Color& bottom);

// A soft disc of radius r: alpha is color.a * (1 - distance / r)^2, 0 at the rim and beyond.
void drawGlow(UiRenderer& ui, float cx, float cy, float r, const Color& color);

// A line of thickness t with square ends exactly at its end points; nothing for equal points.
void drawLine(UiRenderer& ui, float x0, float y0, float x1, float y1, float t, const Color& color);

// An octagon: the rectangle with each corner cut off by cut along both edges, filled, with a
// 1-unit border centred on the outline when the border's alpha is above 0.
void drawPanel(UiRenderer& ui, float x, float y, float w, float h, float cut, const Color& fill,
               const Color& border);

// One line of text with its top left at (x, y), not clipped or wrapped. Every code point but the
// space draws a glyph (the question mark for those the font lacks).
void drawText(UiRenderer& ui, const std::string& text, float x, float y, float s,
              const Color& color);

// (6n - 1) * s for a text of n code points, 0 for the empty text.
float textWidth(const std::string& text, float s);

// Greedy wrapping at spaces into lines no wider than maxWidth; words longer than a line are cut
// between code points. Always at least one line.
std::vector<std::string> wrapText(const std::string& text, float s, float maxWidth);

// The same lines as views into text: a wrapped line is always one unbroken piece of the text,
// since only the spaces at the breaks are dropped. lines is emptied first and keeps its capacity,
// so a caller that keeps it from frame to frame wraps without allocating. The views stay valid
// while text is unchanged.
void wrapText(const std::string& text, float s, float maxWidth,
              std::vector<std::string_view>& lines);

// Shortens text in place so that it is at most maxWidth wide at scale s: when it is wider, it
// keeps as many whole code points as fit with "..." after them. Allocates nothing.
void fitToWidth(std::string& text, float s, float maxWidth);

// The last code points of text that fit into maxWidth at scale s, as a view into it: the part
// of a text field that stays in sight at its end, where the caret is.
std::string_view tailThatFits(const std::string& text, float s, float maxWidth);

// Shortens text in place to the first line that wrapText gives (for a status line that shows one
// line only); allocates nothing.
void keepFirstWrappedLine(std::string& text, float s, float maxWidth);

} // namespace qv::launcher
