// The news panel and the action bar as one frame draws them, read back from what the renderer
// would draw (the OpenGL entry points record instead of drawing, so no context is needed): the
// panel's place at both sizes, its clip, scrolling and scrollbar, the texts of an empty panel,
// the status line, the progress bar, and what the action button does by phase, with a real
// Updater whose runs wait on a server that never answers.
#include "app/input_queues.h"
#include "app/launcher_screen.h"
#include "app/news_action.h"
#include "app/palette.h"
#include "app/ui_draw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "../../support/batch_text.h"
#include "../../support/gl_recorder.h"
#include "../../support/silent_server.h"
#include "../../update/posix/release_fixture.h"

namespace qv::launcher {
namespace {

using test::drawnLines;
using test::GlRecorder;

std::string longNews() {
    std::string news = "# News\n";
    for (int i = 0; i < 60; ++i)
        news += "- change " + std::to_string(i) + "\n";
    return news;
}

class NewsAndActionBar : public testing::Test, protected test::QuietUpdater {
  protected:
    NewsAndActionBar()
        : app{nullptr,       updater, cfg,      tmp.path(),          false,
              verifyPending, -1.0,    shotPath, [] { return false; }} {}

    void SetUp() override { ASSERT_TRUE(server.ok()); }
    void TearDown() override { EXPECT_TRUE(server.release(updater)); }

    // A frame of the window size with the cursor at (x, y) and the wheel turned by scroll.
    void input(float w, float h, float x, float y, bool clicked = false, float scroll = 0.0f,
               bool enter = false) {
        frame.w = w;
        frame.h = h;
        frame.dt = 1.0f;
        frame.titleWidth = textWidth("CORVANTHE", titleScale(w));
        frame.modalInput = UiInput{x, y, clicked, scroll, enter};
        frame.input = frame.modalInput;
        GlRecorder::clear();
        ui.beginFrame(static_cast<int>(w), static_cast<int>(h), 1.0f);
    }

    // What the panel drew inside its clip, and the clip rectangle (x, y from the bottom, w, h).
    std::vector<UiVertex> clipped(int* rect = nullptr) {
        std::vector<UiVertex> out;
        for (const GlRecorder::Drawn& d : GlRecorder::drawn()) {
            if (!d.clipped) continue;
            out.push_back(d.vertex);
            if (rect) std::copy(d.clip, d.clip + 4, rect);
        }
        return out;
    }

    // The scrollbar's thumb: a gold quad 4 wide, 27 left of the panel's right edge.
    bool scrollbarShown(float panelRight) const {
        for (std::size_t i = 0; i + 6 <= ui.vertices.size(); i += 6) {
            const UiVertex& tl = ui.vertices[i];
            if (tl.x == panelRight - 27.0f && ui.vertices[i + 1].x - tl.x == 4.0f &&
                Color{tl.r, tl.g, tl.b, tl.a} == paletteGold)
                return true;
        }
        return false;
    }

    // The lines of text drawn into the batch at window y.
    std::vector<std::string> textAt(float y) const {
        std::vector<std::string> out;
        for (const test::DrawnLine& line : drawnLines(ui))
            if (line.y == y) out.push_back(line.text);
        return out;
    }

    LauncherContext app;
    LoopState loop;
    Frame frame;
    GlRecorder gl;
    UiRenderer ui;
};

TEST_F(NewsAndActionBar, PanelKeepsClearOfTheTitleAtBothSizes) {
    struct Size {
        float w, h;
        int left, width, height; // of the panel
    };
    // The title's end (plus 96) decides at both sizes: 371 + 96 at 820, 424 + 96 at 1024.
    for (const Size& s : {Size{820, 520, 467, 313, 322}, Size{1024, 620, 520, 464, 422}}) {
        SCOPED_TRACE(s.w);
        loop = LoopState{};
        frame.snapshot.phase = Updater::UpToDate;
        frame.snapshot.news.clear();
        input(s.w, s.h, 0, 0);
        drawNewsPanel(ui, loop, frame);
        int rect[4] = {};
        ASSERT_FALSE(clipped(rect).empty());
        const int vh = s.height - 66;
        EXPECT_EQ(rect[0], s.left + 22);
        EXPECT_EQ(rect[1], static_cast<int>(s.h) - (100 + vh));
        EXPECT_EQ(rect[2], s.width - 44);
        EXPECT_EQ(rect[3], vh);
    }
}

TEST_F(NewsAndActionBar, ShortNewsNeverScrollsAndShowsNoScrollbar) {
    frame.snapshot.news = "# News\nA release.\n";
    for (const float wheel : {-5.0f, 3.0f}) {
        input(1024, 620, 700, 200, false, wheel);
        drawNewsPanel(ui, loop, frame);
        EXPECT_EQ(loop.newsScrollTarget, 0.0f);
        EXPECT_EQ(loop.newsScrollPos, 0.0f);
        EXPECT_FALSE(scrollbarShown(984));
    }
}

TEST_F(NewsAndActionBar, WheelMovesLongNewsOnlyOverThePanelAndNotUnderAnOpenLayer) {
    frame.snapshot.news = longNews();
    input(1024, 620, 700, 200, false, -2.0f);
    drawNewsPanel(ui, loop, frame);
    EXPECT_EQ(loop.newsScrollTarget, 96.0f); // two steps of 48 toward the end
    EXPECT_EQ(loop.newsScrollPos, 96.0f);    // reached at once with dt 1
    EXPECT_TRUE(scrollbarShown(984));

    // Left of the panel, below it, and over it while a layer masks the main layer's input.
    for (const auto& [x, y] : {std::pair{519.0f, 200.0f}, std::pair{700.0f, 470.0f}}) {
        input(1024, 620, x, y, false, -2.0f);
        drawNewsPanel(ui, loop, frame);
        EXPECT_EQ(loop.newsScrollTarget, 96.0f) << x << ", " << y;
    }
    input(1024, 620, 700, 200, false, -2.0f);
    frame.input = maskedInput(frame.modalInput);
    drawNewsPanel(ui, loop, frame);
    EXPECT_EQ(loop.newsScrollTarget, 96.0f);

    // Far past the end: clamped to the content's height less the visible height.
    input(1024, 620, 700, 200, false, -1000.0f);
    drawNewsPanel(ui, loop, frame);
    EXPECT_EQ(loop.newsScrollTarget, loop.newsLayout.height - 356.0f);
}

TEST_F(NewsAndActionBar, EmptyNewsSaysWaitingWhileCheckingAndNoNewsAfterwards) {
    for (const auto& [phase, text] :
         {std::pair{Updater::Checking, "..."}, std::pair{Updater::UpToDate, "No news to show."},
          std::pair{Updater::Offline, "No news to show."}}) {
        frame.snapshot.phase = phase;
        input(1024, 620, 0, 0);
        drawNewsPanel(ui, loop, frame);
        const auto lines = drawnLines(clipped());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, text);
        EXPECT_EQ(lines[0].y, 104.0f);
        EXPECT_EQ(lines[0].color, paletteTextFaint);
    }
}

TEST_F(NewsAndActionBar, StatusShowsItsFirstLineOnlyWithinTheBar) {
    frame.snapshot.phase = Updater::Failed;
    frame.snapshot.statusText = "cannot write to /a/very/long/folder/name/that/goes/on "
                                "and on past the end of the status line of the bar";
    for (const float w : {820.0f, 1024.0f}) {
        input(w, 620, 0, 0);
        drawActionBar(ui, app, loop, frame);
        const auto lines = textAt(620 - 98);
        ASSERT_EQ(lines.size(), 1u) << w;
        std::vector<std::string> wrapped = wrapText(frame.snapshot.statusText, 2.0f, w - 364.0f);
        EXPECT_EQ(lines[0], wrapped[0]);
        EXPECT_LE(textWidth(lines[0], 2.0f), w - 364.0f);
    }
}

TEST_F(NewsAndActionBar, ProgressAboveOneFillsTheTrackAndNoFurther) {
    frame.snapshot.phase = Updater::Working;
    frame.snapshot.progress = 1.7;
    input(1024, 620, 0, 0);
    drawActionBar(ui, app, loop, frame);
    float right = 0.0f;
    for (const UiVertex& v : ui.vertices) {
        if (v.y == 620 - 69 && Color{v.r, v.g, v.b, v.a} == paletteAccent)
            right = std::max(right, v.x);
    }
    EXPECT_EQ(right, 60.0f + 1024.0f - 364.0f);
}

// What a press of the action button does, by click or by ENTER, in each phase.
TEST_F(NewsAndActionBar, ActionButtonStartsARunOnlyWhereItIsEnabled) {
    struct Row {
        std::int32_t phase;
        bool enter; // else a click on the button
        const char* label;
        bool starts;
    };
    const Row rows[] = {
        {Updater::UpdateAvailable, true, "UPDATE", true},
        {Updater::UpdateAvailable, false, "UPDATE", true},
        {Updater::NotInstalled, false, "INSTALL", true},
        {Updater::Failed, false, "RETRY", true},
        {Updater::Failed, true, "RETRY", true},
        {Updater::Working, true, "WORKING", false},
        {Updater::Working, false, "WORKING", false},
        {Updater::Checking, true, "...", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.label << (row.enter ? " by ENTER" : " by a click"));
        frame.snapshot.phase = row.phase;
        frame.snapshot.gamePresent = false;
        input(1024, 620, row.enter ? 0 : 859, row.enter ? 0 : 541, !row.enter, 0, row.enter);
        drawActionBar(ui, app, loop, frame);
        EXPECT_EQ(textAt(620 - 108 + 13), std::vector<std::string>{row.label});
        EXPECT_EQ(updater.busy.load(), row.starts);
        EXPECT_EQ(loop.runsAsked > 0, row.starts);
        ASSERT_TRUE(server.release(updater));
        loop = LoopState{};
    }

    // A run going: the button is disabled and neither a click nor ENTER asks for another.
    frame.snapshot.phase = Updater::UpdateAvailable;
    updater.check(false);
    input(1024, 620, 859, 541, true, 0, true);
    drawActionBar(ui, app, loop, frame);
    EXPECT_EQ(loop.runsAsked, 0u);
}

TEST_F(NewsAndActionBar, FailedGameStartIsLoggedAndTheLauncherStaysOpen) {
    // The game is said to be present, but there is no executable to start.
    for (const std::int32_t phase : {Updater::UpToDate, Updater::Failed}) {
        frame.snapshot.phase = phase;
        frame.snapshot.gamePresent = true;
        input(1024, 620, 859, 541, true);
        testing::internal::CaptureStderr();
        drawActionBar(ui, app, loop, frame);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(textAt(620 - 108 + 13), std::vector<std::string>{"PLAY"});
        EXPECT_NE(errors.find("launcher: "), std::string::npos) << errors;
        EXPECT_FALSE(loop.quitAfterFrame);
        EXPECT_FALSE(updater.busy.load());
    }
}

} // namespace
} // namespace qv::launcher
