// The frame's decisions that need a real Updater but no window: the automatic actions and their
// once-only rules, the window-icon retry, and the two modal layers' roads (what a click, ENTER or
// Escape does in the frame a layer opens and after). The Updater talks to a server on 127.0.0.1
// that takes connections and never answers, so a run that was started stays busy until the test
// lets it end: busy right after a call tells exactly whether the call started a run.
#include "app/frame_loop.h"
#include "app/frame_state.h"
#include "app/launcher_screen.h"
#include "app/modal_layers.h"
#include "app/settings.h"
#include "app/ui_renderer.h"
#include "update/updater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "../../support/batch_text.h"
#include "../../support/silent_server.h"
#include "../../update/posix/release_fixture.h"

namespace qv::launcher {
namespace {

class FrameLogic : public testing::Test, protected test::QuietUpdater {
  protected:
    FrameLogic()
        : app{nullptr, updater, cfg, tmp.path(), false, verifyPending, -1.0, shotPath, [this] {
                  ++iconTries;
                  return iconReadable;
              }} {
        frame.w = 1024.0f;
        frame.h = 620.0f;
    }

    void SetUp() override { ASSERT_TRUE(server.ok()); }
    void TearDown() override { EXPECT_TRUE(server.release(updater)); }

    // A run the test holds open, so the Updater is busy.
    void holdARun() {
        updater.check(false);
        ASSERT_TRUE(updater.busy.load());
    }
    bool endRun() { return server.release(updater); }

    // This frame's input, the same for both layers: a click at (x, y) or none.
    void input(float x, float y, bool clicked, bool enter = false, bool escape = false) {
        frame.modalInput = UiInput{x, y, clicked, 0.0f, enter};
        frame.input = frame.modalInput;
        frame.escapePressed = escape;
        frame.keys.clear();
        frame.text.clear();
    }

    LauncherSettings saved() const { return loadSettings(tmp.path()); }
    bool settingsWritten() const { return std::filesystem::exists(tmp.path() / "launcher.cfg"); }

    int iconTries = 0;
    bool iconReadable = false;
    LauncherContext app;
    LoopState loop;
    Frame frame;
    UiRenderer ui; // the layers only fill its batch; nothing here needs OpenGL
};

TEST_F(FrameLogic, AutomaticUpdateStartsOnceUntilTheChannelOrKeyChanges) {
    struct Row {
        std::int32_t phase;
        bool installRequested;
        std::int32_t keyState;
        bool starts;
    };
    // A refused key leaves the run on Live: its release waits for the player's UPDATE, since
    // starting it would replace an installed Testing build over a typo.
    const Row rows[] = {
        {Updater::UpdateAvailable, false, Updater::NoKey, true},
        {Updater::UpdateAvailable, false, Updater::KeyAccepted, true},
        {Updater::UpdateAvailable, false, Updater::KeyRefused, false},
        {Updater::NotInstalled, true, Updater::NoKey, true},
        {Updater::NotInstalled, true, Updater::KeyRefused, true},
        {Updater::NotInstalled, false, Updater::NoKey, false},
        {Updater::UpToDate, true, Updater::NoKey, false},
        {Updater::Failed, true, Updater::NoKey, false},
        {Updater::Offline, true, Updater::NoKey, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "phase " << row.phase << ", key " << row.keyState);
        loop = LoopState{};
        app.installRequested = row.installRequested;
        frame.snapshot.keyState = row.keyState;
        frame.snapshot.phase = row.phase;
        runAutomaticActions(app, loop, frame);
        EXPECT_EQ(updater.busy.load(), row.starts);
        EXPECT_EQ(loop.autoStarted, row.starts);
        ASSERT_TRUE(endRun());
    }

    // Spent once: the same phase in later frames starts nothing, until a change of channel or
    // key clears the flag.
    frame.snapshot.keyState = Updater::NoKey;
    loop = LoopState{};
    frame.snapshot.phase = Updater::UpdateAvailable;
    runAutomaticActions(app, loop, frame);
    ASSERT_TRUE(endRun());
    runAutomaticActions(app, loop, frame);
    EXPECT_FALSE(updater.busy.load());
    loop.autoStarted = false;
    runAutomaticActions(app, loop, frame);
    EXPECT_TRUE(updater.busy.load());
    ASSERT_TRUE(endRun());

    // A run going when the phase shows: the action waits for the next idle frame instead of
    // being spent on a call the Updater drops.
    loop = LoopState{};
    holdARun();
    runAutomaticActions(app, loop, frame);
    EXPECT_FALSE(loop.autoStarted);
    ASSERT_TRUE(endRun());
    runAutomaticActions(app, loop, frame);
    EXPECT_TRUE(loop.autoStarted);
    EXPECT_TRUE(updater.busy.load());
}

TEST_F(FrameLogic, VerifyRunsOnceTheGameIsUpToDateAndNoRunGoes) {
    verifyPending = true;
    frame.snapshot.phase = Updater::NotInstalled;
    runAutomaticActions(app, loop, frame);
    EXPECT_TRUE(verifyPending);
    EXPECT_FALSE(updater.busy.load());

    frame.snapshot.phase = Updater::UpToDate;
    holdARun();
    runAutomaticActions(app, loop, frame);
    EXPECT_TRUE(verifyPending);
    ASSERT_TRUE(endRun());

    runAutomaticActions(app, loop, frame);
    EXPECT_FALSE(verifyPending);
    EXPECT_TRUE(updater.busy.load());
    ASSERT_TRUE(endRun());
    runAutomaticActions(app, loop, frame);
    EXPECT_FALSE(updater.busy.load());
}

TEST_F(FrameLogic, IconIsRetriedWhileTheGameIsPresentAtMostOnceASecond) {
    frame.snapshot.phase = Updater::Checking;
    struct Step {
        double t;
        bool gamePresent;
        bool readable;
        int triesAfter;
    };
    const Step steps[] = {
        {5.0, false, false, 0}, {5.1, true, false, 1}, {5.6, true, false, 1},
        {6.1, true, false, 2},  {6.2, true, true, 2},  {7.1, true, true, 3},
        {9.0, true, true, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.t);
        frame.t = step.t;
        frame.snapshot.gamePresent = step.gamePresent;
        iconReadable = step.readable;
        runAutomaticActions(app, loop, frame);
        EXPECT_EQ(iconTries, step.triesAfter);
    }
    EXPECT_TRUE(loop.iconSet);
}

// At 1024 by 620 the key area's top is 346: the channel menu's top is 406, its rows start at
// 410, 444, 478 and 512 and are 34 high.
constexpr float kRowX = 200.0f;
float rowY(int row) { return 410.0f + 34.0f * static_cast<float>(row) + 17.0f; }

TEST_F(FrameLogic, ChannelMenuActsOnlyAfterTheFrameItOpenedIn) {
    cfg.testerKey = "KEY-1";
    updater.setChannel(Updater::Live, cfg.testerKey);
    frame.menuTop = 406.0f;

    // The click that opened the menu lies on a row: no choice, the menu stays; Escape in that
    // frame closes it at once.
    loop.channelMenuOpen = true;
    frame.menuOpenedThisFrame = true;
    input(kRowX, rowY(1), true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_TRUE(loop.channelMenuOpen);
    input(kRowX, rowY(1), false, false, true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    EXPECT_FALSE(cfg.testing);
    EXPECT_FALSE(settingsWritten());
    EXPECT_FALSE(updater.busy.load());

    // Later frames: no click keeps it open, a click beside the rows closes it with no effect.
    frame.menuOpenedThisFrame = false;
    loop.channelMenuOpen = true;
    input(kRowX, rowY(0), false);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_TRUE(loop.channelMenuOpen);
    input(600.0f, rowY(0), true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    EXPECT_FALSE(settingsWritten());
    EXPECT_FALSE(updater.busy.load());

    // "Testing": saved, handed to the Updater, checked, and the automatic update freed.
    loop.channelMenuOpen = true;
    loop.autoStarted = true;
    input(kRowX, rowY(1), true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    EXPECT_TRUE(cfg.testing);
    EXPECT_TRUE(saved().testing);
    EXPECT_EQ(saved().testerKey, "KEY-1");
    EXPECT_EQ(updater.snapshot().channel, Updater::Testing);
    EXPECT_TRUE(updater.busy.load());
    EXPECT_FALSE(loop.autoStarted);
    ASSERT_TRUE(endRun());

    // "Change key...": the menu gives way to an empty key dialog in the same frame.
    loop.channelMenuOpen = true;
    loop.typedKey = "OLD";
    input(kRowX, rowY(2), true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    EXPECT_TRUE(loop.keyDialogOpen);
    EXPECT_TRUE(loop.typedKey.empty());
    EXPECT_TRUE(frame.dialogOpenedThisFrame);
    EXPECT_FALSE(updater.busy.load());
    loop.keyDialogOpen = false;

    // "Forget key": no key, Live, saved without key or channel, checked.
    loop.channelMenuOpen = true;
    loop.autoStarted = true;
    input(kRowX, rowY(3), true);
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    EXPECT_TRUE(cfg.testerKey.empty());
    EXPECT_FALSE(cfg.testing);
    EXPECT_TRUE(saved().testerKey.empty());
    EXPECT_FALSE(saved().testing);
    EXPECT_EQ(updater.snapshot().channel, Updater::Live);
    EXPECT_EQ(updater.snapshot().keyState, Updater::NoKey);
    EXPECT_TRUE(updater.busy.load());
    EXPECT_FALSE(loop.autoStarted);
}

TEST_F(FrameLogic, KeyDialogUsesTheKeyOnlyWhenThereIsOneAndNotOnTheOpeningClick) {
    // At 1024 by 620 the dialog is at (232, 200): "USE KEY" spans x 590 to 770, y 352 to 400;
    // "Cancel" x 254 to 374, y 362 to 392.
    const float useX = 680.0f, useY = 376.0f, cancelX = 314.0f, cancelY = 377.0f;

    // Opening frame: what is typed already counts, but the opening click presses nothing.
    loop.keyDialogOpen = true;
    frame.dialogOpenedThisFrame = true;
    input(useX, useY, true);
    frame.text = "ab-1 ";
    drawKeyDialog(ui, app, loop, frame);
    EXPECT_TRUE(loop.keyDialogOpen);
    EXPECT_EQ(loop.typedKey, "AB-1");
    EXPECT_FALSE(settingsWritten());

    // The next click on "USE KEY" takes it.
    frame.dialogOpenedThisFrame = false;
    loop.autoStarted = true;
    input(useX, useY, true);
    drawKeyDialog(ui, app, loop, frame);
    EXPECT_FALSE(loop.keyDialogOpen);
    EXPECT_EQ(cfg.testerKey, "AB-1");
    EXPECT_TRUE(cfg.testing);
    EXPECT_EQ(saved().testerKey, "AB-1");
    EXPECT_TRUE(saved().testing);
    EXPECT_EQ(updater.snapshot().channel, Updater::Testing);
    EXPECT_TRUE(updater.busy.load());
    EXPECT_FALSE(loop.autoStarted);
    ASSERT_TRUE(endRun());

    // An empty key: ENTER and a click on the disabled "USE KEY" do nothing; Escape or "Cancel"
    // close without a change.
    struct Step {
        bool clickUse, enter, escape, clickCancel;
        bool staysOpen;
    };
    const Step steps[] = {
        {false, true, false, false, true},
        {true, false, false, false, true},
        {false, false, true, false, false},
        {false, false, false, true, false},
    };
    for (const Step& step : steps) {
        loop.keyDialogOpen = true;
        loop.typedKey.clear();
        const bool clicked = step.clickUse || step.clickCancel;
        input(step.clickCancel ? cancelX : useX, step.clickCancel ? cancelY : useY, clicked,
              step.enter, step.escape);
        drawKeyDialog(ui, app, loop, frame);
        EXPECT_EQ(loop.keyDialogOpen, step.staysOpen);
        EXPECT_EQ(cfg.testerKey, "AB-1");
        EXPECT_FALSE(updater.busy.load());
    }

    // ENTER with a key uses it.
    loop.keyDialogOpen = true;
    loop.typedKey = "NEW-2";
    input(0.0f, 0.0f, false, true);
    drawKeyDialog(ui, app, loop, frame);
    EXPECT_FALSE(loop.keyDialogOpen);
    EXPECT_EQ(saved().testerKey, "NEW-2");
}

TEST_F(FrameLogic, KeyAreaOpensItsLayerInTheSameFrameAndNotWhileARunGoes) {
    // At the minimum size the dialog's "Cancel" (x 152 to 272, y 312 to 342) overlaps the
    // "Playtester key..." button (x 48 to 308, y 338 to 368): the click that opens the dialog
    // must not also cancel it.
    frame.w = 820.0f;
    frame.h = 520.0f;
    loop.typedKey = "LEFT-OVER";
    holdARun();
    input(200.0f, 340.0f, true);
    drawLauncherScreen(ui, app, loop, frame);
    EXPECT_FALSE(loop.keyDialogOpen);
    ASSERT_TRUE(endRun());

    drawLauncherScreen(ui, app, loop, frame);
    ASSERT_TRUE(loop.keyDialogOpen);
    EXPECT_TRUE(loop.typedKey.empty());
    EXPECT_FALSE(frame.menuOpenedThisFrame);
    drawKeyDialog(ui, app, loop, frame);
    EXPECT_TRUE(loop.keyDialogOpen);
    loop.keyDialogOpen = false;

    // With a key the area is the drop-down (box y 360 to 396 at this size); the menu opens,
    // upwards since below it would reach into the action bar, and stays open through its
    // opening click.
    cfg.testerKey = "KEY-1";
    holdARun();
    input(178.0f, 378.0f, true);
    drawLauncherScreen(ui, app, loop, frame);
    EXPECT_FALSE(loop.channelMenuOpen);
    ASSERT_TRUE(endRun());

    drawLauncherScreen(ui, app, loop, frame);
    EXPECT_TRUE(loop.channelMenuOpen);
    EXPECT_TRUE(frame.menuOpenedThisFrame);
    EXPECT_EQ(frame.menuTop, 192.0f); // 2 above the caption "BUILD" at 338
    drawChannelMenu(ui, app, loop, frame);
    EXPECT_TRUE(loop.channelMenuOpen);
}

// Nothing of the left column runs under the news panel, "Key not accepted" stays above the
// action bar, the channel menu stays inside the window and above the bar, and the key field
// shows the end of a key longer than itself: at the start size and at the minimum size.
TEST_F(FrameLogic, ScreenFitsAtTheStartAndTheMinimumSize) {
    cfg.testerKey = "KEY-1";
    frame.snapshot.channel = Updater::Testing;
    frame.snapshot.keyState = Updater::KeyRefused;
    frame.snapshot.installedVersion = "1.1.0-test-with-a-long-name";
    frame.snapshot.latestVersion = "1.2.0-test-with-a-long-name";
    loop.typedKey = "PLAY-TEST-43-ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456";
    for (const auto& [w, h] : {std::pair{1024.0f, 620.0f}, std::pair{820.0f, 520.0f}}) {
        SCOPED_TRACE(w);
        frame.w = w;
        frame.h = h;
        input(0, 0, false);
        ui.vertices.clear();
        drawLauncherScreen(ui, app, loop, frame);
        const float panel = newsPanelLeft(w, frame.titleWidth);
        bool tagShown = false, refusedShown = false;
        for (const test::DrawnLine& line : test::drawnLines(ui)) {
            EXPECT_LE(line.x + textWidth(line.text, line.scale), panel - 16.0f) << line.text;
            tagShown = tagShown || line.text == "TESTING BUILD";
            if (line.text == "Key not accepted") {
                refusedShown = true;
                EXPECT_LE(line.y + 16.0f, h - 118.0f);
            }
        }
        EXPECT_TRUE(tagShown);
        EXPECT_TRUE(refusedShown);

        ui.vertices.clear();
        drawChannelMenu(ui, app, loop, frame);
        for (const UiVertex& v : ui.vertices) {
            EXPECT_GE(v.y, 0.0f);
            EXPECT_LE(v.y, h - 118.0f);
        }

        ui.vertices.clear();
        frame.t = 0.25; // the caret is on
        drawKeyDialog(ui, app, loop, frame);
        const float boxRight = (w - 560.0f) / 2.0f + 22.0f + 516.0f;
        bool keyShown = false;
        for (const test::DrawnLine& line : test::drawnLines(ui)) {
            if (line.scale != 3.0f) continue;
            keyShown = true;
            EXPECT_EQ(line.text, loop.typedKey.substr(loop.typedKey.size() - line.text.size()));
            EXPECT_LE(line.x + textWidth(line.text, 3.0f) + 7.0f, boxRight - 12.0f);
        }
        EXPECT_TRUE(keyShown);
        loop.keyDialogOpen = loop.channelMenuOpen = false;
    }
}

} // namespace
} // namespace qv::launcher
