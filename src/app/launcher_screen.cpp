#include "app/launcher_screen.h"

#include "app/palette.h"
#include "app/sparks.h"
#include "app/ui_draw.h"
#include "app/widgets.h"
#include "base/platform.h"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace qv::launcher {

namespace {

// Labels live as strings once, so drawing them every frame copies nothing.
const std::string kTitle = "CORVANTHE";
const std::string kTestingBuild = "TESTING BUILD";
const std::string kVerify = "Verify game files";
const std::string kOpenFolder = "Open game folder";
const std::string kCheck = "Check for updates";
const std::string kKeyButton = "Playtester key...";
const std::string kBuild = "BUILD";
const std::string kLive = "Live";
const std::string kTesting = "Testing";
const std::string kKeyRefused = "Key not accepted";

void drawBackground(UiRenderer& ui, LoopState& loop, const Frame& frame) {
    const float w = frame.w;
    const float h = frame.h;
    fillGradient(ui, 0.0f, 0.0f, w, h, Color{0.03f, 0.028f, 0.036f, 1.0f},
                 Color{0.07f, 0.035f, 0.025f, 1.0f});
    const float pulse = 0.85f + 0.15f * std::sin(0.9f * frame.tf);
    drawGlow(ui, 0.3f * w, 1.05f * h, 0.95f * h, withAlpha(paletteFlameDark, 0.55f * pulse));
    drawGlow(ui, 0.3f * w, 1.02f * h, 0.45f * h, withAlpha(paletteFlame, 0.22f * pulse));
    updateSparks(ui, loop.sparks, loop.sparkRng, frame.dt, frame.tf, w, h);
}

void drawTitle(UiRenderer& ui, float s, float tw) {
    drawGlow(ui, 48.0f + tw / 2.0f, 92.0f, 0.75f * tw, withAlpha(paletteFlame, 0.16f));
    drawText(ui, kTitle, 48.0f + 0.5f * s, 60.0f + 0.75f * s, s, paletteShadow);
    drawText(ui, kTitle, 48.0f, 60.0f, s, paletteGoldLight);
    fillRect(ui, 48.0f, 76.0f + 8.0f * s, tw, 1.0f, withAlpha(paletteGold, 0.6f));
}

void drawVersionLine(UiRenderer& ui, Frame& frame, float s) {
    versionLineText(frame.snapshot, frame.scratch);
    const float y = 90.0f + 8.0f * s;
    // The tag keeps its place: the version text gives way to it before the news panel.
    const bool testing = frame.snapshot.channel == Updater::Testing;
    const float tag = testing ? 16.0f + textWidth(kTestingBuild, 2.0f) : 0.0f;
    fitVersionLine(frame.scratch, tag, frame.w, frame.titleWidth);
    drawText(ui, frame.scratch, 48.0f, y, 2.0f, paletteTextDim);
    if (testing) {
        drawText(ui, kTestingBuild, 48.0f + textWidth(frame.scratch, 2.0f) + 16.0f, y, 2.0f,
                 paletteAccent);
    }
}

void drawMenu(UiRenderer& ui, LauncherContext& app, LoopState& loop, const Frame& frame, float s) {
    Updater& updater = app.updater;
    const Updater::Snapshot& snap = frame.snapshot;
    const float y0 = 150.0f + 8.0f * s;

    const bool canVerify = !updater.busy.load() && snap.gamePresent && snap.phase != Updater::Offline;
    if (button(ui, frame.input, 48.0f, y0, 260.0f, 30.0f, kVerify, 2.0f, canVerify,
               false)) {
        askUpdate(updater, loop, true);
    }
    if (button(ui, frame.input, 48.0f, y0 + 38.0f, 260.0f, 30.0f, kOpenFolder, 2.0f, true,
               false)) {
        // The folder may not exist before the first install; the file manager needs it to.
        const std::filesystem::path gameDir = updater.gameDir();
        std::error_code ec;
        std::filesystem::create_directories(gameDir, ec);
        openFolder(gameDir);
    }
    if (button(ui, frame.input, 48.0f, y0 + 76.0f, 260.0f, 30.0f, kCheck, 2.0f,
               !updater.busy.load(), false)) {
        askCheck(updater, loop);
    }
}

void drawChannelDropDown(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame,
                         float yk) {
    const bool busy = app.updater.busy.load();
    drawText(ui, kBuild, 48.0f, yk, 2.0f, paletteTextFaint);

    const float boxY = yk + 22.0f;
    const UiInput& in = frame.input;
    const bool hovered = !busy && mouseInside(in, 48.0f, boxY, 260.0f, 36.0f);
    if (hovered) {
        drawPanel(ui, 48.0f, boxY, 260.0f, 36.0f, 6.0f, palettePanelHover, paletteGoldLight);
    } else {
        drawPanel(ui, 48.0f, boxY, 260.0f, 36.0f, 6.0f, palettePanel,
                  withAlpha(paletteGoldDark, 0.9f));
    }
    drawText(ui, frame.snapshot.channel == Updater::Testing ? kTesting : kLive, 62.0f, yk + 33.0f,
             2.0f, busy ? paletteTextFaint : paletteText);
    for (int i = 0; i < 5; ++i) {
        const float fi = static_cast<float>(i);
        fillRect(ui, 280.0f + fi, yk + 37.0f + fi, 11.0f - 2.0f * fi, 1.0f, paletteGold);
    }
    if (frame.snapshot.keyState == Updater::KeyRefused) {
        // Under the box where that stays above the action bar; in a lower window beside the
        // caption instead, since under the bar nobody would see it.
        if (yk + 68.0f + 16.0f <= frame.h - 118.0f) {
            drawText(ui, kKeyRefused, 48.0f, yk + 68.0f, 2.0f, paletteError);
        } else {
            drawText(ui, kKeyRefused, 48.0f + textWidth(kBuild, 2.0f) + 16.0f, yk, 2.0f,
                     paletteError);
        }
    }

    if (hovered && in.clicked) {
        loop.channelMenuOpen = true;
        frame.menuOpenedThisFrame = true;
    }
}

void drawKeyArea(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame, float s) {
    const float yk = 282.0f + 8.0f * s;
    frame.menuTop = channelMenuTop(yk, frame.h);
    frame.menuOpenedThisFrame = false; // until the drop-down below opens the menu
    if (app.cfg.testerKey.empty()) {
        if (button(ui, frame.input, 48.0f, yk, 260.0f, 30.0f, kKeyButton, 2.0f,
                   !app.updater.busy.load(), false)) {
            loop.typedKey.clear();
            loop.keyDialogOpen = true;
            frame.dialogOpenedThisFrame = true;
        }
    } else {
        drawChannelDropDown(ui, app, loop, frame, yk);
    }
}

} // namespace

float titleScale(float w) { return w >= 1000.0f ? 8.0f : 7.0f; }

float newsPanelLeft(float w, float titleWidth) {
    return std::max(0.46f * w, titleWidth + 96.0f);
}

float leftColumnEnd(float w, float titleWidth) {
    return newsPanelLeft(w, titleWidth) - 16.0f;
}

float channelMenuTop(float yk, float h) {
    const float below = yk + 60.0f;
    if (below + 144.0f <= h - 118.0f) return below;
    return yk - 2.0f - 144.0f;
}

void fitVersionLine(std::string& text, float tagWidth, float w, float titleWidth) {
    if (48.0f + textWidth(text, 2.0f) + tagWidth <= newsPanelLeft(w, titleWidth)) return;
    fitToWidth(text, 2.0f, leftColumnEnd(w, titleWidth) - 48.0f - tagWidth);
}

void versionLineText(const Updater::Snapshot& snapshot, std::string& out) {
    out.clear();
    if (!snapshot.installedVersion.empty()) {
        out += "Installed ";
        out += snapshot.installedVersion;
        if (!snapshot.latestVersion.empty() && snapshot.latestVersion != snapshot.installedVersion) {
            out += "   Latest ";
            out += snapshot.latestVersion;
        }
    } else if (!snapshot.latestVersion.empty()) {
        out += "Latest ";
        out += snapshot.latestVersion;
    } else {
        out += "Not installed";
    }
}

void drawLauncherScreen(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame) {
    drawBackground(ui, loop, frame);
    const float s = titleScale(frame.w);
    frame.titleWidth = textWidth(kTitle, s);
    drawTitle(ui, s, frame.titleWidth);
    drawVersionLine(ui, frame, s);
    drawMenu(ui, app, loop, frame, s);
    drawKeyArea(ui, app, loop, frame, s);
}

} // namespace qv::launcher
