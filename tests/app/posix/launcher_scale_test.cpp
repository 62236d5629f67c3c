// The real launcher at the display scales desktops report (Xft.dpi under a private Xvfb): its
// window and screenshot grow with the scale while the layout stays in screen units, so a shot at
// 200% halved, or one at 150% sampled back, is the shot at 100% outside the sparks. On a screen
// too small for the default size at its scale, the window opens within the work area. The shots
// land in <build>/gui-shots for a look.
#include <gtest/gtest.h>

#include <cmath>

#include "../../support/setup_skip.h"
#include "gui_fixture.h"
#include "shot_compare.h"

namespace qv::launcher {
namespace {

using namespace test;

const char* const kLargeScreen = "2600x1600x24";

// A private display of the given screen with release 1.0.0 served and installed, and the
// launcher's "--shot" at any dpi.
class ScaledLauncher : public testing::Test {
  protected:
    void startWorld(const std::string& screen) {
        // The display is a private Xvfb of the test's own; only a build given a release key of
        // its own leaves nothing the test can sign with.
        if (developmentKeyFile().empty())
            SKIP_WITHOUT_SETUP("the launcher carries a given release key");
        world = std::make_unique<GuiWorld>(screen);
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
        ASSERT_TRUE(world->nginx().start());
        world->preinstall(world->release("1.0.0"));
        // The cursor in the screen's far corner, outside every window, so nothing is hovered.
        world->xdotool({"mousemove", "9999", "9999"});
    }

    // The desktop's work area from now on, as a window manager with a panel gives it.
    bool setWorkArea(int x, int y, int width, int height) {
        int code = 1;
        world->xHelper({"workarea", std::to_string(x), std::to_string(y), std::to_string(width),
                        std::to_string(height)},
                       &code);
        return code == 0;
    }

    // The launcher's "--shot" at the display's dpi, taken once the screen shows the installed
    // game at the layout size (as "launcher: screen" logs it, 1024x620 at the start size) with
    // sparks young enough for sparkFreeEarly: a start whose shot came before that screen or
    // after the sparks had risen further (a loaded machine, where the window and the check can
    // take seconds) is taken again at a time that this start's first frame suggests.
    RgbImage shotAt(int dpi, const std::string& name, const std::string& size = "1024x620") {
        if (!PrivateDisplay::setDpi(world->root(), world->displayName(), dpi)) {
            ADD_FAILURE() << "xrdb failed";
            return {};
        }
        // Taken in the test's own folder (tests run side by side), then kept in gui-shots.
        const fs::path shot = world->root() / (name + ".png");
        double seconds = kShotSeconds - 0.3;
        for (int attempt = 0; attempt < 12; ++attempt) {
            fs::remove(shot);
            Child launcher =
                world->start({"--shot", std::to_string(seconds) + ":" + shot.string()});
            if (launcher.wait(60) != 0) {
                ADD_FAILURE() << world->output() << world->log();
                return {};
            }
            const ShotVerdict verdict = shotVerdict(world->log(), "UpToDate " + size, seconds);
            if (verdict.keep) {
                std::printf("%s: shot at %.2f s in start %d\n", name.c_str(), seconds, attempt + 1);
                fs::copy_file(shot, shotsFolder() / (name + ".png"),
                              fs::copy_options::overwrite_existing);
                return readRgbPng(shot.string());
            }
            seconds = verdict.nextSeconds;
        }
        ADD_FAILURE() << "no shot showed the installed game at " << size << " with sparks at most "
                      << kShotSeconds << " s old\n"
                      << world->log();
        return {};
    }

    std::unique_ptr<GuiWorld> world;
};

class LauncherGuiAtScale : public ScaledLauncher {
  protected:
    void SetUp() override { startWorld(kLargeScreen); }
};

TEST_F(LauncherGuiAtScale, At200PercentTheShotIsTwiceAsLargeAndHalvedIsThe100PercentShot) {
    const RgbImage unscaled = shotAt(96, "scale-96dpi-1024x620");
    const RgbImage scaled = shotAt(192, "scale-192dpi-2048x1240");
    ASSERT_FALSE(unscaled.empty());
    ASSERT_FALSE(scaled.empty());
    EXPECT_EQ(unscaled.width, 1024);
    EXPECT_EQ(unscaled.height, 620);
    ASSERT_EQ(scaled.width, 2048);
    ASSERT_EQ(scaled.height, 1240);
    const Comparison c = compareOutsideSparks(unscaled, scaled, 2.0, "scale-192dpi-differences",
                                              sparkFreeEarly(1024, 620));
    EXPECT_LT(c.leftDiffering, c.leftCompared / 1000)
        << c.leftDiffering << " of " << c.leftCompared;
    EXPECT_LT(c.differing, c.compared / 50) << c.differing << " of " << c.compared;
    std::printf("at 200%%: %d of %d differ in the left column, %d of %d elsewhere\n",
                c.leftDiffering, c.leftCompared, c.differing, c.compared);
}

TEST_F(LauncherGuiAtScale, At150PercentTheShotIsOneAndAHalfTimesAsLargeAndTheSameScreen) {
    const RgbImage unscaled = shotAt(96, "scale-96dpi-1024x620-against-144dpi");
    const RgbImage scaled = shotAt(144, "scale-144dpi-1536x930");
    ASSERT_FALSE(unscaled.empty());
    ASSERT_FALSE(scaled.empty());
    ASSERT_EQ(scaled.width, 1536);
    ASSERT_EQ(scaled.height, 930);
    const Comparison c = compareOutsideSparks(unscaled, scaled, 1.5, "scale-144dpi-differences",
                                              sparkFreeEarly(1024, 620));
    EXPECT_LT(c.leftDiffering, c.leftCompared / 100) << c.leftDiffering << " of " << c.leftCompared;
    EXPECT_LT(c.differing, c.compared / 50) << c.differing << " of " << c.compared;
    std::printf("at 150%%: %d of %d differ in the left column, %d of %d elsewhere\n",
                c.leftDiffering, c.leftCompared, c.differing, c.compared);
}

// The size limits and the cursor follow the scale: the window cannot be made smaller than 820
// by 520 units, and a click at twice the coordinates of "Check for updates" checks.
TEST_F(LauncherGuiAtScale, At200PercentSizeLimitsAndClicksAreInScreenUnits) {
    ASSERT_TRUE(PrivateDisplay::setDpi(world->root(), world->displayName(), 192));
    Child launcher = world->start({});
    const std::string window = world->windowOf(launcher);
    ASSERT_FALSE(window.empty()) << world->diagnosis();
    const auto screenLines = [&] {
        const std::string log = world->log();
        std::size_t n = 0;
        for (std::size_t at = log.find("launcher: screen UpToDate 1024x620\n");
             at != std::string::npos; at = log.find("launcher: screen UpToDate 1024x620\n", at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return screenLines() >= 1; }, 60.0)) << world->log();
    EXPECT_EQ(world->xHelper({"minsize", window}), "1640 1040");

    const auto manifests = [&] { return world->nginx().requestsFor("/manifest-win64.txt").size(); };
    const std::size_t before = manifests();
    const std::size_t shown = screenLines();
    world->click(window, 2 * 100, 2 * 305);
    // The check's outcome is on screen once a further line says so with no run going.
    ASSERT_TRUE(waitUntil([&] { return screenLines() > shown; }, 60.0)) << world->log();
    EXPECT_EQ(manifests(), before + 1);

    // At the minimum size the layout is the 820 by 520 one, in twice the pixels.
    world->xdotool({"windowsize", window, "1640", "1040"});
    ASSERT_TRUE(waitUntil(
        [&] { return world->log().find("launcher: screen UpToDate 820x520") != std::string::npos; },
        60.0))
        << world->log();
    const RgbImage small = world->look(window, "scale-192dpi-1640x1040");
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
    ASSERT_EQ(small.width, 1640);
    ASSERT_EQ(small.height, 1040);

    // The same screen at 100%: a desktop whose work area is 820 by 520 opens the launcher at
    // that size. The window at 200% has been open for a while, so sparks may be at any height
    // left of where they are born.
    ASSERT_TRUE(setWorkArea(0, 0, 820, 520));
    const RgbImage unscaled = shotAt(96, "scale-96dpi-820x520", "820x520");
    ASSERT_EQ(unscaled.width, 820);
    ASSERT_EQ(unscaled.height, 520);
    const Comparison c = compareOutsideSparks(
        unscaled, small, 2.0, "scale-192dpi-1640x1040-differences", sparkFreeLater(820));
    EXPECT_GT(c.compared, 250 * 520);
    // What is left right of the sparks is mostly panels, whose 1-unit borders (drawn into one
    // row at 100%, two at 200%) are a larger share of it than of the whole screen.
    EXPECT_LT(c.differing, c.compared / 25) << c.differing << " of " << c.compared;
    std::printf("at 200%% and the minimum size: %d of %d differ right of the sparks\n", c.differing,
                c.compared);
}

// A laptop's screen at the scale its desktop sets: the window opens within the work area (the
// screen, or what a taskbar leaves of it), and its shot, brought back to units, is the screen
// laid out for that size at 100%. Where not even the minimum fits, the window has the minimum.
struct ScreenCase {
    const char* name; // of the shots
    const char* screen;
    int dpi;
    int workAreaHeight; // 0: the whole screen; else a taskbar takes the rest of it at the bottom
    int shotWidth, shotHeight;   // the window's pixels
    int unitsWidth, unitsHeight; // its layout size in whole units, and the work area at 100%
};

class LauncherGuiFitsTheScreen : public ScaledLauncher,
                                 public testing::WithParamInterface<ScreenCase> {
  protected:
    void SetUp() override { startWorld(GetParam().screen); }
};

TEST_P(LauncherGuiFitsTheScreen, TheWindowOpensWithinTheWorkAreaLaidOutForItsSize) {
    const ScreenCase& c = GetParam();
    int screenWidth = 0, screenHeight = 0;
    ASSERT_EQ(std::sscanf(c.screen, "%dx%d", &screenWidth, &screenHeight), 2);
    if (c.workAreaHeight) {
        ASSERT_TRUE(setWorkArea(0, 0, screenWidth, c.workAreaHeight));
    }
    const std::string size = std::to_string(c.unitsWidth) + "x" + std::to_string(c.unitsHeight);
    const RgbImage scaled = shotAt(c.dpi, std::string("fit-") + c.name, size);
    ASSERT_FALSE(scaled.empty());
    EXPECT_EQ(scaled.width, c.shotWidth);
    EXPECT_EQ(scaled.height, c.shotHeight);

    ASSERT_TRUE(setWorkArea(0, 0, c.unitsWidth, c.unitsHeight));
    const RgbImage unscaled = shotAt(96, std::string("fit-") + c.name + "-at-96dpi", size);
    ASSERT_EQ(unscaled.width, c.unitsWidth);
    ASSERT_EQ(unscaled.height, c.unitsHeight);
    const double scale = c.dpi / 96.0;
    const Comparison d =
        compareOutsideSparks(unscaled, scaled, scale, std::string("fit-") + c.name + "-differences",
                             sparkFreeEarly(c.unitsWidth, c.unitsHeight));
    // At 125% and 175% a font pixel of 2.5 or 3.5 pixels is drawn 2 or 3 (whole pixels keep the
    // letters crisp), so text is narrower than at 100% and the left column, mostly text, differs
    // more than at 150%. Panels and the action bar, laid out for another height, would differ
    // by their whole lower edges and more.
    EXPECT_LE(d.leftDiffering, d.leftCompared / 15) << d.leftDiffering << " of " << d.leftCompared;
    EXPECT_LT(d.differing, d.compared / 50) << d.differing << " of " << d.compared;
    std::printf("%s: %d of %d differ in the left column, %d of %d elsewhere\n", c.name,
                d.leftDiffering, d.leftCompared, d.differing, d.compared);
}

INSTANTIATE_TEST_SUITE_P(
    Laptops, LauncherGuiFitsTheScreen,
    testing::Values(
        // 1280 by 775 pixels at 125%: 7 rows too tall for the screen.
        ScreenCase{"1366x768-120dpi", "1366x768x24", 120, 0, 1280, 768, 1024, 614},
        ScreenCase{"1366x768-120dpi-taskbar", "1366x768x24", 120, 728, 1280, 728, 1024, 582},
        // 1792 by 1085 pixels at 175%.
        ScreenCase{"1920x1080-168dpi", "1920x1080x24", 168, 0, 1792, 1080, 1024, 617},
        // The minimum, 1025 by 650 pixels at 125%, is larger than the screen.
        ScreenCase{"1024x600-120dpi", "1024x600x24", 120, 0, 1025, 650, 820, 520}),
    [](const testing::TestParamInfo<ScreenCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

} // namespace
} // namespace qv::launcher
