// The upper and left part of the main layer: background with its glows and sparks, the title,
// the version line, the menu, and the playtester key button or the channel drop-down.
#pragma once

#include "app/frame_state.h"
#include "app/ui_renderer.h"
#include "update/updater.h"

#include <string>

namespace qv::launcher {

// The title's text scale: 8, or 7 in a window narrower than 1000 units.
float titleScale(float w);

// The news panel's left edge: 0.46 of the width, but at least 48 units right of the title's end
// (titleWidth wide, from x 48).
float newsPanelLeft(float w, float titleWidth);

// Where the lines of the left column must end so that none reaches under the news panel.
float leftColumnEnd(float w, float titleWidth);

// The channel menu's top edge for the key area at yk in a window h high: under the drop-down
// where the menu (144 high) then ends above the action bar; otherwise the menu opens upwards and
// ends 2 units above the key area's caption, so it covers the three menu entries whole (no tops
// of their labels above its border) and never covers the bar or leaves the window.
float channelMenuTop(float yk, float h);

// Fits the version line (at scale 2, from x 48) before the news panel, with tagWidth kept free
// after it for "TESTING BUILD": a line that fits is left whole; a longer one is cut with "..."
// so that it ends 16 units before the panel.
void fitVersionLine(std::string& text, float tagWidth, float w, float titleWidth);

// The version line: "Installed 1.2   Latest 1.3", "Installed 1.3", "Latest 1.3" or
// "Not installed". Written into out, whose capacity is reused.
void versionLineText(const Updater::Snapshot& snapshot, std::string& out);

// Draws this part of the frame and acts on its controls. Sets the frame's titleWidth and
// menuTop for what is drawn after it.
void drawLauncherScreen(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame);

} // namespace qv::launcher
