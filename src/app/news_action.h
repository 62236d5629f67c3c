// The rest of the main layer: the news panel with its wheel scrolling and scrollbar, and the
// action bar with the big action button, the status line and the progress bar.
#pragma once

#include "app/frame_state.h"
#include "app/ui_renderer.h"
#include "update/updater.h"

#include <string>

namespace qv::launcher {

// The action button's label and whether it can be pressed (busy: a run is going).
struct ActionButton {
    const std::string* label;
    bool enabled;
};
ActionButton actionButtonFor(std::int32_t phase, bool gamePresent, bool busy);

// The status line's text before wrapping; in NotInstalled it names the release to install.
void statusLineText(const Updater::Snapshot& snapshot, std::string& out);

// Starts the game executable in the game folder without arguments; true when it started.
bool startGame(const Updater& updater);

void drawNewsPanel(UiRenderer& ui, LoopState& loop, Frame& frame);
void drawActionBar(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame);

} // namespace qv::launcher
