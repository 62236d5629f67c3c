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

// The version line: "Installed 1.2   Latest 1.3", "Installed 1.3", "Latest 1.3" or
// "Not installed". Written into out, whose capacity is reused.
void versionLineText(const Updater::Snapshot& snapshot, std::string& out);

// Draws this part of the frame and acts on its controls. Sets the frame's titleWidth and
// menuTop for what is drawn after it.
void drawLauncherScreen(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame);

} // namespace qv::launcher
