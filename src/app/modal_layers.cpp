#include "app/modal_layers.h"

#include "app/input_queues.h"
#include "app/palette.h"
#include "app/settings.h"
#include "app/ui_draw.h"
#include "app/widgets.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>

namespace qv::launcher {

namespace {

const std::string kRowLabels[4] = {"Live", "Testing", "Change key...", "Forget key"};
const std::string kDialogTitle = "PLAYTESTER KEY";
const std::string kDialogHint = "Paste the key you were given (Ctrl+V).";
const std::string kUseKey = "USE KEY";
const std::string kCancel = "Cancel";

// Saves, tells the Updater, checks, and lets the new channel's update start by itself once.
void chooseChannel(LauncherContext& app, LoopState& loop, std::int32_t channel) {
    saveSettings(app.launcherDir, app.cfg);
    app.updater.setChannel(channel, app.cfg.testerKey);
    askCheck(app.updater, loop);
    loop.autoStarted = false;
}

// The key's room in the input box (516 wide from dx + 22, the text from dx + 34): the same
// margin on the right, less the caret 4 units after the text and 3 wide.
const float kFieldTextWidth = 516.0f - 2.0f * 12.0f - 7.0f;

bool keepsKeyByte(char c) { return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

} // namespace

void editTypedKey(std::string& typedKey, const std::vector<int>& keys, const std::string& text,
                  const std::function<const char*()>& clipboard) {
    for (const int entry : keys) {
        if ((entry & 0xFFFF) == GLFW_KEY_BACKSPACE) {
            if (!typedKey.empty()) typedKey.pop_back();
        } else if (entry == (GLFW_KEY_V | keyCtrlFlag)) {
            if (const char* pasted = clipboard()) typedKey += pasted;
        }
    }
    typedKey += text;

    std::size_t kept = 0;
    for (char c : typedKey) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (keepsKeyByte(c)) typedKey[kept++] = c;
    }
    typedKey.resize(std::min(kept, maxKeyLength));
}

void drawChannelMenu(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame) {
    const float top = frame.menuTop;
    const UiInput& in = frame.modalInput;
    drawPanel(ui, 48.0f, top, 260.0f, 144.0f, 6.0f, palettePanelDark, paletteGold);

    int clickedRow = -1;
    for (int i = 0; i < 4; ++i) {
        const float rowTop = top + 4.0f + 34.0f * static_cast<float>(i);
        const bool hovered = mouseInside(in, 48.0f, rowTop, 260.0f, 34.0f);
        if (hovered) fillRect(ui, 50.0f, rowTop, 256.0f, 34.0f, withAlpha(paletteFlameDark, 0.6f));

        Color color = paletteTextDim;
        if (i < 2) {
            const bool current = frame.snapshot.channel == (i == 0 ? Updater::Live : Updater::Testing);
            color = current ? paletteGoldLight : hovered ? paletteTextBright : paletteText;
        }
        drawText(ui, kRowLabels[i], 62.0f, rowTop + 10.0f, 2.0f, color);
        if (hovered && in.clicked) clickedRow = i;
    }

    if (frame.menuOpenedThisFrame) {
        // The click that opened the menu is not a choice.
        if (frame.escapePressed) loop.channelMenuOpen = false;
        return;
    }
    switch (clickedRow) {
    case 0:
    case 1:
        app.cfg.testing = clickedRow == 1;
        chooseChannel(app, loop, clickedRow == 1 ? Updater::Testing : Updater::Live);
        loop.channelMenuOpen = false;
        break;
    case 2:
        loop.typedKey.clear();
        loop.channelMenuOpen = false;
        loop.keyDialogOpen = true;
        frame.dialogOpenedThisFrame = true;
        break;
    case 3:
        app.cfg.testerKey.clear();
        app.cfg.testing = false;
        chooseChannel(app, loop, Updater::Live);
        loop.channelMenuOpen = false;
        break;
    default:
        if (in.clicked || frame.escapePressed) loop.channelMenuOpen = false;
        break;
    }
}

void drawKeyDialog(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame) {
    const float dx = (frame.w - 560.0f) / 2.0f;
    const float dy = (frame.h - 220.0f) / 2.0f;
    fillRect(ui, 0.0f, 0.0f, frame.w, frame.h, Color{0.0f, 0.0f, 0.0f, 0.6f});
    drawPanel(ui, dx, dy, 560.0f, 220.0f, 10.0f, palettePanel, paletteGold);
    drawText(ui, kDialogTitle, dx + 22.0f, dy + 20.0f, 2.0f, paletteTextDim);
    drawText(ui, kDialogHint, dx + 22.0f, dy + 48.0f, 2.0f, paletteTextFaint);

    GLFWwindow* window = app.window;
    editTypedKey(loop.typedKey, frame.keys, frame.text,
                 [window]() { return glfwGetClipboardString(window); });

    fillRect(ui, dx + 22.0f, dy + 78.0f, 516.0f, 40.0f, paletteShadow);
    fillRect(ui, dx + 22.0f, dy + 117.0f, 516.0f, 1.0f, paletteGold);
    // A key longer than the box shows its end, where the caret is: the part being typed.
    frame.scratch.assign(tailThatFits(loop.typedKey, 3.0f, kFieldTextWidth));
    drawText(ui, frame.scratch, dx + 34.0f, dy + 88.0f, 3.0f, paletteTextBright);
    if (std::fmod(frame.t, 1.0) < 0.55) {
        fillRect(ui, dx + 34.0f + textWidth(frame.scratch, 3.0f) + 4.0f, dy + 86.0f, 3.0f, 26.0f,
                 paletteAccent);
    }

    // The click that opened the dialog (on the key button or the menu row) lies where the
    // dialog's own buttons may be drawn; it must not press them as well.
    UiInput in = frame.modalInput;
    if (frame.dialogOpenedThisFrame) in.clicked = false;

    const bool haveKey = !loop.typedKey.empty();
    const bool use = button(ui, in, dx + 358.0f, dy + 152.0f, 180.0f, 48.0f, kUseKey, 2.0f, haveKey,
                            true) ||
                     (in.enter && haveKey);
    const bool cancel = button(ui, in, dx + 22.0f, dy + 162.0f, 120.0f, 30.0f, kCancel, 2.0f, true,
                               false);
    if (use) {
        app.cfg.testerKey = loop.typedKey;
        app.cfg.testing = true;
        chooseChannel(app, loop, Updater::Testing);
        loop.keyDialogOpen = false;
    } else if (cancel || frame.escapePressed) {
        loop.keyDialogOpen = false;
    }
}

} // namespace qv::launcher
