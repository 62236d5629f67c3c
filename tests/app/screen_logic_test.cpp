// What the screen decides without drawing: the key dialog's editing, the texts and the action
// button chosen from a snapshot, the input taken from the callbacks' queues, and the sparks.
#include "app/frame_loop.h"
#include "app/input_queues.h"
#include "app/launcher_screen.h"
#include "app/modal_layers.h"
#include "app/news_action.h"
#include "app/sparks.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../support/log_folder.h"

namespace qv::launcher {
namespace {

const int kCtrlV = GLFW_KEY_V | keyCtrlFlag;

std::string edited(std::string key, const std::vector<int>& keys, const std::string& text,
                   const char* clipboard, int* reads = nullptr) {
    editTypedKey(key, keys, text, [&]() {
        if (reads) ++*reads;
        return clipboard;
    });
    return key;
}

TEST(KeyDialogEditing, PasteKeepsKeyCharactersUpperCased) {
    EXPECT_EQ(edited("", {kCtrlV}, "", "  ab12 -cd\tef 9z\r\n"), "AB12-CDEF9Z");
    EXPECT_EQ(edited("", {kCtrlV}, "", "k\xc3\xa9y"), "KY"); // bytes of other code points go
    EXPECT_EQ(edited("", {kCtrlV}, "", std::string(100, 'q').c_str()), std::string(64, 'Q'));
    EXPECT_EQ(edited("AB", {kCtrlV}, "", nullptr), "AB");
}

TEST(KeyDialogEditing, KeysApplyInOrderBeforeTheTypedText) {
    EXPECT_EQ(edited("", {GLFW_KEY_BACKSPACE}, "", nullptr), "");
    EXPECT_EQ(edited("ABC", {GLFW_KEY_BACKSPACE | keyCtrlFlag}, "", nullptr), "AB");
    // Backspace, paste, backspace: the paste's last character goes, the typed text follows.
    EXPECT_EQ(edited("AB", {GLFW_KEY_BACKSPACE, kCtrlV, GLFW_KEY_BACKSPACE}, "x-1", "cde"),
              "ACDX-1");
    // Plain V (no Ctrl) is only a key: the letter comes through the typed text.
    int reads = 0;
    EXPECT_EQ(edited("", {GLFW_KEY_V}, "v", "zzz", &reads), "V");
    EXPECT_EQ(reads, 0);
    edited("", {kCtrlV, kCtrlV}, "", "a", &reads);
    EXPECT_EQ(reads, 2);
}

Updater::Snapshot versions(const std::string& installed, const std::string& latest) {
    Updater::Snapshot s;
    s.installedVersion = installed;
    s.latestVersion = latest;
    return s;
}

TEST(VersionLine, NamesWhatIsInstalledAndWhatIsLatest) {
    std::string text = "left over";
    versionLineText(versions("1.2", "1.3"), text);
    EXPECT_EQ(text, "Installed 1.2   Latest 1.3");
    versionLineText(versions("1.3", "1.3"), text);
    EXPECT_EQ(text, "Installed 1.3");
    versionLineText(versions("1.3", ""), text);
    EXPECT_EQ(text, "Installed 1.3");
    versionLineText(versions("", "1.3"), text);
    EXPECT_EQ(text, "Latest 1.3");
    versionLineText(versions("", ""), text);
    EXPECT_EQ(text, "Not installed");
    EXPECT_EQ(titleScale(1000.0f), 8.0f);
    EXPECT_EQ(titleScale(999.0f), 7.0f);
}

// The line is cut only where it would reach under the news panel; a cut one keeps 16 units free.
TEST(VersionLine, IsCutOnlyWhereItDoesNotFitBeforeTheNewsPanel) {
    const float tag = 16.0f + textWidth("TESTING BUILD", 2.0f);
    struct Case {
        float w;
        const char* text;
        float tagWidth;
        const char* shown;
    };
    const Case cases[] = {
        // At 820 wide the panel begins at 467; this line ends at 466.
        {820, "Installed 1.1.0-test   Latest 1.0.0", 0, "Installed 1.1.0-test   Latest 1.0.0"},
        {820, "Installed 1.1.0-test   Latest 1.0.10", 0, "Installed 1.1.0-test   Latest ..."},
        {820, "Installed 1.1.0-test   Latest 1.2.0-test", tag, "Installed 1.1.0-..."},
        {1024, "Installed 1.1.0-test   Latest 1.2.0-test", tag, "Installed 1.1.0-test ..."},
        {1024, "Installed 1.1.0-test", tag, "Installed 1.1.0-test"},
    };
    for (const Case& c : cases) {
        const float titleWidth = textWidth("CORVANTHE", titleScale(c.w));
        std::string text = c.text;
        fitVersionLine(text, c.tagWidth, c.w, titleWidth);
        EXPECT_EQ(text, c.shown) << c.w << " " << c.text;
        EXPECT_LE(48.0f + textWidth(text, 2.0f) + c.tagWidth, newsPanelLeft(c.w, titleWidth));
    }
}

// Opening upwards, the menu covers the three menu entries whole (buttons from 150 + 8 s, 106
// high with their gaps) and ends above the key area's caption at yk; below, where there is room.
TEST(ChannelMenu, CoversWholeMenuEntriesAndNeverTheCaptionOrTheActionBar) {
    for (const float w : {1024.0f, 820.0f}) {
        for (const float h : {620.0f, 520.0f}) {
            const float s = titleScale(w);
            const float yk = 282.0f + 8.0f * s;
            const float top = channelMenuTop(yk, h);
            EXPECT_LE(top, 150.0f + 8.0f * s) << w << "x" << h;
            EXPECT_GE(top + 144.0f, 150.0f + 8.0f * s + 106.0f) << w << "x" << h;
            EXPECT_LE(top + 144.0f, yk) << w << "x" << h;
            EXPECT_GE(top, 90.0f + 8.0f * s + 16.0f) << "over the version line";
        }
    }
    EXPECT_EQ(channelMenuTop(346.0f, 800.0f), 406.0f);
}

TEST(ActionButton, LabelAndStateFollowThePhase) {
    struct Row {
        std::int32_t phase;
        bool gamePresent;
        const char* label;
        bool enabledWhenIdle;
    };
    const Row rows[] = {
        {Updater::Checking, false, "...", false},
        {Updater::UpToDate, true, "PLAY", true},
        {Updater::NotInstalled, false, "INSTALL", true},
        {Updater::UpdateAvailable, true, "UPDATE", true},
        {Updater::Working, true, "WORKING", false},
        {Updater::Offline, true, "PLAY", true},
        {Updater::Failed, true, "PLAY", true},
        {Updater::Failed, false, "RETRY", true},
        {Updater::Restarting, true, "...", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.phase);
        const ActionButton idle = actionButtonFor(row.phase, row.gamePresent, false);
        EXPECT_EQ(*idle.label, row.label);
        EXPECT_EQ(idle.enabled, row.enabledWhenIdle);
        EXPECT_FALSE(actionButtonFor(row.phase, row.gamePresent, true).enabled);
    }
}

TEST(StatusLine, NamesTheReleaseOnlyWhenNothingIsInstalled) {
    Updater::Snapshot s;
    s.latestVersion = "2.0";
    s.statusText = "12 KB to download";
    s.phase = Updater::NotInstalled;
    std::string text;
    statusLineText(s, text);
    EXPECT_EQ(text, "Corvanthe 2.0: 12 KB to download");
    s.phase = Updater::UpdateAvailable;
    statusLineText(s, text);
    EXPECT_EQ(text, "12 KB to download");
}

TEST(InputQueues, CallbacksQueueAndTheFrameTakesEverything) {
    pendingKeys.clear();
    pendingText.clear();
    pendingScroll = 0.0f;
    onKey(nullptr, GLFW_KEY_A, 0, GLFW_PRESS, 0);
    onKey(nullptr, GLFW_KEY_A, 0, GLFW_RELEASE, 0);
    onKey(nullptr, GLFW_KEY_ENTER, 0, GLFW_REPEAT, GLFW_MOD_CONTROL);
    onKey(nullptr, GLFW_KEY_V, 0, GLFW_PRESS, GLFW_MOD_SUPER | GLFW_MOD_SHIFT);
    onKey(nullptr, GLFW_KEY_ESCAPE, 0, GLFW_PRESS, GLFW_MOD_CONTROL);
    onChar(nullptr, 'k');
    onChar(nullptr, 0xE9);
    onChar(nullptr, 127);
    onScroll(nullptr, 3.0, 1.5);
    onScroll(nullptr, 0.0, -0.5);

    Frame frame;
    takeQueuedInput(frame);
    EXPECT_EQ(frame.keys, (std::vector<int>{GLFW_KEY_A, GLFW_KEY_ENTER | keyCtrlFlag, 0x10056,
                                            GLFW_KEY_ESCAPE | keyCtrlFlag}));
    EXPECT_EQ(frame.text, "k\x7f");
    EXPECT_FLOAT_EQ(frame.modalInput.scroll, 1.0f);
    EXPECT_TRUE(frame.modalInput.enter);
    EXPECT_TRUE(frame.escapePressed);
    EXPECT_TRUE(pendingKeys.empty());
    EXPECT_TRUE(pendingText.empty());
    EXPECT_EQ(pendingScroll, 0.0f);

    onKey(nullptr, GLFW_KEY_KP_ENTER, 0, GLFW_PRESS, 0);
    takeQueuedInput(frame);
    EXPECT_TRUE(frame.modalInput.enter);
    EXPECT_FALSE(frame.escapePressed);
    takeQueuedInput(frame);
    EXPECT_FALSE(frame.modalInput.enter);
    EXPECT_TRUE(frame.keys.empty());

    const UiInput masked = maskedInput(UiInput{10.0f, 20.0f, true, 2.0f, true});
    EXPECT_EQ(masked.mouseX, -1000000.0f);
    EXPECT_EQ(masked.mouseY, -1000000.0f);
    EXPECT_FALSE(masked.clicked);
    EXPECT_FALSE(masked.enter);
    EXPECT_EQ(masked.scroll, 2.0f);
}

// The left button's events between frames, and the clicks the next frames see: a press counts
// however soon it was released, and a button held over several frames clicks once.
TEST(InputQueues, EveryPressOfTheLeftButtonIsOneClick) {
    const int L = GLFW_MOUSE_BUTTON_LEFT, R = GLFW_MOUSE_BUTTON_RIGHT;
    struct Case {
        const char* name;
        std::vector<std::vector<std::pair<int, int>>> between; // (button, action) before each frame
        std::vector<bool> clicks;
    };
    const std::vector<Case> cases = {
        {"tap inside one frame", {{{L, GLFW_PRESS}, {L, GLFW_RELEASE}}, {}}, {true, false}},
        {"held over frames",
         {{{L, GLFW_PRESS}}, {}, {}, {{L, GLFW_RELEASE}}, {}},
         {true, false, false, false, false}},
        {"released and pressed again between frames",
         {{{L, GLFW_PRESS}}, {{L, GLFW_RELEASE}, {L, GLFW_PRESS}}, {}},
         {true, true, false}},
        {"right and middle buttons",
         {{{R, GLFW_PRESS}, {R, GLFW_RELEASE}}, {{GLFW_MOUSE_BUTTON_MIDDLE, GLFW_PRESS}}},
         {false, false}},
        {"a release alone", {{{L, GLFW_RELEASE}}}, {false}},
    };
    for (const Case& c : cases) {
        pendingPresses = 0;
        Frame frame;
        for (std::size_t i = 0; i < c.between.size(); ++i) {
            for (const auto& [button, action] : c.between[i])
                onMouseButton(nullptr, button, action, 0);
            takeQueuedInput(frame);
            EXPECT_EQ(frame.modalInput.clicked, c.clicks[i]) << c.name << ", frame " << i;
        }
    }
}

// A frame that ended before its period sleeps the rest; one that took the period or longer
// (the swap waited for the display, or the machine is slow) does not.
TEST(FramePacing, SleepsTheRestOfAShortFrameOnly) {
    EXPECT_DOUBLE_EQ(refreshPeriod(60), 1.0 / 60.0);
    EXPECT_DOUBLE_EQ(refreshPeriod(144), 1.0 / 144.0);
    EXPECT_DOUBLE_EQ(refreshPeriod(0), 1.0 / 60.0); // the display tells none
    EXPECT_DOUBLE_EQ(refreshPeriod(-1), 1.0 / 60.0);
    const double period = 1.0 / 60.0;
    EXPECT_DOUBLE_EQ(frameRest(0.002, period), period - 0.002);
    EXPECT_DOUBLE_EQ(frameRest(0.0, period), period);
    EXPECT_EQ(frameRest(period, period), 0.0);
    EXPECT_EQ(frameRest(0.5, period), 0.0);
    EXPECT_EQ(frameRest(-0.001, period), 0.0); // a clock that went back sleeps nothing
}

// The screen lines the GUI tests wait on: one for every change of what is shown, and one after
// every run the front end asked for once no run goes, even when nothing else changed.
TEST(ShownState, LogsChangesAndTheEndOfEveryAskedRun) {
    test::LogFolder logs("shown-state");
    LoopState loop;
    Frame frame;
    frame.w = 1024;
    frame.h = 620;
    frame.snapshot.phase = Updater::UpToDate;
    const auto screenLines = [&] {
        std::vector<std::string> out;
        for (const test::LogLine& line : logs.lines())
            if (line.message.rfind("launcher: screen ", 0) == 0)
                out.push_back(line.message.substr(17));
        return out;
    };
    const auto frameEnds = [&](bool busyAtSnapshot) {
        frame.busyAtSnapshot = busyAtSnapshot;
        frame.runsAskedAtSnapshot = loop.runsAsked;
        noteShownState(loop, frame);
    };

    frameEnds(false);
    frameEnds(false); // nothing new
    // A check asked while the frame is drawn: its snapshot is stale, so it shows as busy.
    frame.runsAskedAtSnapshot = loop.runsAsked;
    ++loop.runsAsked;
    frame.busyAtSnapshot = false;
    noteShownState(loop, frame);
    frameEnds(false); // the run ended before the next frame, the phase unchanged
    frameEnds(false);
    loop.channelMenuOpen = true;
    frameEnds(false);
    loop.channelMenuOpen = false;
    loop.keyDialogOpen = true;
    frameEnds(false);
    loop.typedKey = "AB"; // typed into the dialog: its length is shown, never the key
    frameEnds(false);
    loop.keyDialogOpen = false;
    frame.w = 820;
    frame.h = 520;
    frameEnds(false);
    frame.snapshot.phase = Updater::Working;
    frameEnds(true);
    EXPECT_EQ(screenLines(),
              (std::vector<std::string>{
                  "UpToDate 1024x620", "UpToDate busy 1024x620", "UpToDate 1024x620",
                  "UpToDate menu 1024x620", "UpToDate dialog(0) 1024x620",
                  "UpToDate dialog(2) 1024x620", "UpToDate 820x520", "Working busy 820x520"}));
}

TEST(Sparks, AtTheClampOneIsBornEveryFrameAndNeverMoreThanSeventyLive) {
    UiRenderer ui; // filling the batch needs no OpenGL
    std::vector<Spark> sparks;
    std::mt19937 rng(1234);
    // Nothing lives shorter than 3 s, so for 29 frames of 0.1 s every frame adds one.
    for (int frame = 1; frame <= 29; ++frame) {
        updateSparks(ui, sparks, rng, 0.1f, 0.1f * frame, 1024.0f, 620.0f);
        ASSERT_EQ(sparks.size(), static_cast<std::size_t>(frame));
    }
    // At 60 frames a second about thirty are born each second and they live 3 to 7 s: the cap
    // is what holds them at 70.
    std::size_t most = 0;
    for (int frame = 0; frame < 1200; ++frame) {
        updateSparks(ui, sparks, rng, 1.0f / 60.0f, 3.0f + frame / 60.0f, 1024.0f, 620.0f);
        most = std::max(most, sparks.size());
    }
    EXPECT_EQ(most, maxSparks);
    for (const Spark& s : sparks) {
        EXPECT_LE(s.age, s.life);
        EXPECT_GE(s.life, 3.0f);
        EXPECT_LE(s.life, 7.0f);
        EXPECT_GE(s.x, 0.05f * 1024.0f - 13.0f); // born in the left 65 %, swaying at most 12/s
    }
}

TEST(Sparks, NoTimeNoBirthAndEveryOneDiesInTime) {
    UiRenderer ui;
    std::vector<Spark> sparks;
    std::mt19937 rng(1234);
    updateSparks(ui, sparks, rng, 0.0f, 0.0f, 1024.0f, 620.0f);
    EXPECT_TRUE(sparks.empty());
    EXPECT_TRUE(ui.vertices.empty());

    const Spark born{100.0f, 630.0f, -30.0f, 3.0f, 0.0f, 2.0f, 0.0f};
    sparks.assign(maxSparks, born);
    // 31 frames of 0.1 s outlive every spark of life 3; none is drawn once it has died, and the
    // last survivors of the first batch go in the frame their age passes 3.
    for (int frame = 0; frame < 31; ++frame)
        updateSparks(ui, sparks, rng, 0.1f, 0.0f, 1024.0f, 620.0f);
    for (const Spark& s : sparks)
        EXPECT_LT(s.age, 3.1f - 0.0001f);
    EXPECT_LT(sparks.size(), maxSparks);
}

} // namespace
} // namespace qv::launcher
