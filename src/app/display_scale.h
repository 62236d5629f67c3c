// How the layout's screen units meet the window and its framebuffer at any display scale. The
// layout is always the same in screen units (1024 by 620 at start); a display at 150% or 200%
// gives each unit 1.5 or 2 framebuffer pixels. Where the desktop counts window coordinates in
// pixels (Windows, X11), the window is that many times larger in coordinates too; where it counts
// them in logical points (Wayland, macOS), only the framebuffer grows. Both come down to the same
// rule: a unit is content-scale framebuffer pixels.
#pragma once

namespace qv::launcher {

struct DisplayScale {
    float pixelsPerUnit = 1.0f;  // framebuffer pixels per screen unit
    float unitsPerCursor = 1.0f; // screen units per window coordinate (cursor, size limits)
    float width = 1.0f;          // the layout's size in screen units
    float height = 1.0f;
};

// The content scale to lay out by: the desktop's own, or 1 where it reports none that makes
// sense (0, negative, not a number).
float usableContentScale(float contentScale);

// The scale of one frame from the window's width in window coordinates, its framebuffer size in
// pixels and its content scale. A window without area (minimised) counts one unit per coordinate.
DisplayScale displayScale(int windowWidth, int framebufferWidth, int framebufferHeight,
                          float contentScale);

// A rectangle in the desktop's window coordinates (a window's drawing area, a monitor's work
// area), and the frame a window manager puts around a window's drawing area.
struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
};
struct WindowFrame {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// The window's first place on the monitor it opens on: its drawing area shrunk, each side apart,
// until the area and its frame fit the work area (the monitor less taskbars and docks), but never
// below the minimum size; where the frame would still reach past the work area's right or bottom
// edge, the window is moved back, never so far that its frame starts before the left or top edge.
// A window that fits already stays as it is.
ScreenRect fitToWorkArea(ScreenRect window, const ScreenRect& workArea, const WindowFrame& frame,
                         int minWidth, int minHeight);

// A length of screen units in whole window coordinates, rounded up so that a minimum size never
// comes out smaller than asked.
int windowCoordinates(float units, const DisplayScale& scale);

// The side of one font pixel of text at scale s, in screen units: a whole number of framebuffer
// pixels (s times the pixels per unit, rounded, halves down, at least one), so every glyph stays
// crisp and never grows into the gap before the next one.
float glyphPixelUnits(float s, float pixelsPerUnit);

// The position v (in units) moved to the nearest framebuffer pixel edge, halves away from zero.
float snapToPixel(float v, float pixelsPerUnit);

} // namespace qv::launcher
