#include "app/news_action.h"

#include "app/launcher_screen.h"
#include "app/palette.h"
#include "app/ui_draw.h"
#include "app/widgets.h"
#include "base/log.h"
#include "base/platform.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qv::launcher {

namespace {

const std::string kNewsHeading = "WHAT'S NEW";
const std::string kWaiting = "...";
const std::string kNoNews = "No news to show.";
const std::string kPlay = "PLAY";
const std::string kInstall = "INSTALL";
const std::string kUpdate = "UPDATE";
const std::string kWorking = "WORKING";
const std::string kRetry = "RETRY";

void drawProgress(UiRenderer& ui, const Frame& frame) {
    const Updater::Snapshot& snap = frame.snapshot;
    const float h = frame.h;
    const float trackWidth = frame.w - 364.0f;
    fillRect(ui, 60.0f, h - 70.0f, trackWidth, 10.0f, paletteShadow);
    fillRect(ui, 60.0f, h - 70.0f, trackWidth, 1.0f, withAlpha(paletteGrey, 0.4f));

    const float y = h - 69.0f;
    if (snap.phase == Updater::Checking || snap.phase == Updater::Working) {
        if (snap.progress >= 0.0) {
            const float fw = trackWidth * static_cast<float>(std::min(1.0, snap.progress));
            fillGradient(ui, 60.0f, y, fw, 9.0f, paletteAccent, paletteFlameDark);
            drawGlow(ui, 60.0f + fw, h - 65.0f, 26.0f, withAlpha(paletteFlame, 0.5f));
        } else {
            // No amount to show: a block sweeps to and fro.
            const float x =
                60.0f + (0.5f * std::sin(2.5f * frame.tf) + 0.5f) * (trackWidth - 80.0f);
            fillGradient(ui, x, y, 80.0f, 9.0f, paletteAccent, paletteFlameDark);
        }
    } else if (snap.gamePresent && snap.phase != Updater::Failed) {
        fillGradient(ui, 60.0f, y, trackWidth, 9.0f, withAlpha(paletteGold, 0.5f),
                     withAlpha(paletteGoldDark, 0.5f));
    }
}

} // namespace

ActionButton actionButtonFor(std::int32_t phase, bool gamePresent, bool busy) {
    switch (phase) {
    case Updater::UpToDate:
    case Updater::Offline:
        return {&kPlay, !busy};
    case Updater::NotInstalled:
        return {&kInstall, !busy};
    case Updater::UpdateAvailable:
        return {&kUpdate, !busy};
    case Updater::Working:
        return {&kWorking, false};
    case Updater::Failed:
        return {gamePresent ? &kPlay : &kRetry, !busy};
    case Updater::Checking:
    case Updater::Restarting:
    default:
        return {&kWaiting, false};
    }
}

void statusLineText(const Updater::Snapshot& snapshot, std::string& out) {
    out.clear();
    if (snapshot.phase == Updater::NotInstalled) {
        out += "Corvanthe ";
        out += snapshot.latestVersion;
        out += ": ";
    }
    out += snapshot.statusText;
}

bool startGame(const Updater& updater) {
    const std::filesystem::path gameDir = updater.gameDir();
    std::string error;
    if (startProcess(gameDir / gameExecutableName(), {}, gameDir, error)) {
        logInfo("launcher: started the game");
        return true;
    }
    logError("launcher: %s", error.c_str());
    return false;
}

void drawNewsPanel(UiRenderer& ui, LoopState& loop, Frame& frame) {
    const float w = frame.w;
    const float h = frame.h;
    const float px = newsPanelLeft(w, frame.titleWidth);
    const float pw = w - px - 40.0f;
    const float ph = h - 198.0f;
    drawPanel(ui, px, 48.0f, pw, ph, 10.0f, palettePanel, withAlpha(paletteGoldDark, 0.9f));
    drawText(ui, kNewsHeading, px + 22.0f, 66.0f, 2.0f, paletteTextDim);
    fillRect(ui, px + 22.0f, 88.0f, pw - 44.0f, 1.0f, withAlpha(paletteGoldDark, 0.8f));

    const float vh = ph - 66.0f;
    if (mouseInside(frame.input, px, 48.0f, pw, ph)) loop.newsScrollTarget -= frame.input.scroll * 48.0f;

    ui.setClip(px + 22.0f, 100.0f, pw - 44.0f, vh);
    float ch = 0.0f;
    if (!frame.snapshot.news.empty()) {
        ch = layoutNews(loop.newsLayout, frame.snapshot.news, pw - 56.0f);
        drawNewsLayout(ui, loop.newsLayout, px + 22.0f, 100.0f - loop.newsScrollPos, 100.0f,
                       100.0f + vh);
    } else {
        drawText(ui, frame.snapshot.phase == Updater::Checking ? kWaiting : kNoNews, px + 22.0f,
                 104.0f, 2.0f, paletteTextFaint);
    }
    ui.clearClip();

    // The text was drawn at last frame's position; now the target is clamped to the content and
    // the position eases toward it.
    const float maxScroll = std::max(0.0f, ch - vh);
    loop.newsScrollTarget = std::min(std::max(loop.newsScrollTarget, 0.0f), maxScroll);
    loop.newsScrollPos +=
        (loop.newsScrollTarget - loop.newsScrollPos) * std::min(14.0f * frame.dt, 1.0f);

    if (maxScroll > 0.0f) {
        fillRect(ui, px + pw - 26.0f, 100.0f, 2.0f, vh, withAlpha(paletteGrey, 0.3f));
        const float th = std::max(30.0f, vh * vh / ch);
        fillRect(ui, px + pw - 27.0f, 100.0f + (vh - th) * loop.newsScrollPos / maxScroll, 4.0f,
                 th, paletteGold);
    }
}

void drawActionBar(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame) {
    const float w = frame.w;
    const float h = frame.h;
    const Updater::Snapshot& snap = frame.snapshot;
    drawPanel(ui, 40.0f, h - 118.0f, w - 80.0f, 78.0f, 10.0f, palettePanelDark,
              withAlpha(paletteGoldDark, 0.9f));

    const ActionButton action = actionButtonFor(snap.phase, snap.gamePresent, app.updater.busy.load());
    const bool clicked = button(ui, frame.input, w - 280.0f, h - 108.0f, 230.0f, 58.0f,
                                *action.label, 4.0f, action.enabled, true);
    if (clicked || (action.enabled && frame.input.enter)) {
        if (action.label == &kPlay) {
            if (startGame(app.updater)) loop.quitAfterFrame = true;
        } else if (action.label == &kRetry) {
            askCheck(app.updater, loop);
        } else {
            askUpdate(app.updater, loop, false);
        }
    }

    statusLineText(snap, frame.scratch);
    keepFirstWrappedLine(frame.scratch, 2.0f, w - 364.0f); // only the first line is shown
    drawText(ui, frame.scratch, 60.0f, h - 98.0f, 2.0f,
             snap.phase == Updater::Failed ? paletteError : paletteText);

    drawProgress(ui, frame);
}

} // namespace qv::launcher
