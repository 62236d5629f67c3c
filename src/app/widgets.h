// The launcher's widgets, immediate mode: each is a function that draws itself into the renderer's
// batch and reports the interaction in the same call; no state is kept between frames.
#pragma once

#include "app/ui_input.h"
#include "app/ui_renderer.h"

#include <string>

namespace qv::launcher {

// A button over the rectangle (x, y, w, h) with its label at text scale s. The primary look is an
// octagonal panel with a glow and a centred label; the plain look is a left-aligned text link,
// underlined while hovered. Returns true when the enabled button is under the mouse in the frame
// whose input has `clicked`; a disabled button is never hovered or clicked.
bool button(UiRenderer& ui, const UiInput& input, float x, float y, float w, float h,
            const std::string& label, float s, bool enabled, bool primary);

// Draws the news text into the column of the given width whose top left is (x, y), one line of
// markup at a time ("# " heading, "**...**" emphasised line, "- " bullet, paragraph, empty line
// for a gap), word-wrapped and not clipped. Returns the height used.
float drawNews(UiRenderer& ui, const std::string& text, float x, float y, float width);

} // namespace qv::launcher
