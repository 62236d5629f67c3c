// The two modal layers over the main layer: the channel menu under the channel drop-down (Live,
// Testing, "Change key...", "Forget key") and the playtester key dialog. At most one is open. A
// change of channel or key is saved to "launcher.cfg" first, then handed to the Updater, then
// followed by a check.
#pragma once

#include "app/frame_state.h"
#include "app/ui_renderer.h"

#include <functional>
#include <string>
#include <vector>

namespace qv::launcher {

// The longest playtester key the dialog keeps.
inline constexpr std::size_t maxKeyLength = 64;

// Applies one frame of editing to the typed key: each key event in order (Backspace, with or
// without Ctrl, removes the last character; Ctrl+V appends the clipboard, which is read only
// then and may be null), then the typed text; then only '-', digits and letters stay, letters
// upper-cased, at most 64 of them.
void editTypedKey(std::string& typedKey, const std::vector<int>& keys, const std::string& text,
                  const std::function<const char*()>& clipboard);

void drawChannelMenu(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame);
void drawKeyDialog(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame);

} // namespace qv::launcher
