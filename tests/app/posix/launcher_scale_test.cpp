// The real launcher at the display scales desktops report (Xft.dpi under a private Xvfb): its
// window and screenshot grow with the scale while the layout stays in screen units, so a shot at
// 200% halved, or one at 150% sampled back, is the shot at 100% outside the sparks. The shots
// land in <build>/gui-shots for a look.
#include <gtest/gtest.h>

#include <cmath>

#include "gui_fixture.h"
#include "shot_compare.h"

namespace qv::launcher {
namespace {

using namespace test;

const char* const kLargeScreen = "2600x1600x24";

class LauncherGuiAtScale : public testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is unset)";
        if (developmentKeyFile().empty())
            GTEST_SKIP() << "the launcher carries a given release key";
        world = std::make_unique<GuiWorld>(kLargeScreen);
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
        ASSERT_TRUE(world->nginx().start());
        world->preinstall(world->release("1.0.0"));
        // The cursor far outside every window, so nothing is hovered.
        world->xdotool({"mousemove", "2599", "1599"});
    }

    // The launcher's "--shot" at the display's dpi, taken once the screen shows the installed
    // game: a start whose shot came before that (a slow machine) is taken again.
    RgbImage shotAt(int dpi, const std::string& name) {
        if (!PrivateDisplay::setDpi(world->root(), world->displayName(), dpi)) {
            ADD_FAILURE() << "xrdb failed";
            return {};
        }
        // Taken in the test's own folder (tests run side by side), then kept in gui-shots.
        const fs::path shot = world->root() / (name + ".png");
        for (int attempt = 0; attempt < 5; ++attempt) {
            fs::remove(shot);
            Child launcher =
                world->start({"--shot", std::to_string(kShotSeconds) + ":" + shot.string()});
            if (launcher.wait(60) != 0) {
                ADD_FAILURE() << world->output() << world->log();
                return {};
            }
            if (shownBeforeTheShot(world->log(), "UpToDate 1024x620")) {
                fs::copy_file(shot, shotsFolder() / (name + ".png"),
                              fs::copy_options::overwrite_existing);
                return readRgbPng(shot.string());
            }
        }
        ADD_FAILURE() << "the shot never showed the installed game\n" << world->log();
        return {};
    }

    std::unique_ptr<GuiWorld> world;
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
    const Comparison c = compareOutsideSparks(unscaled, scaled, 2.0, "scale-192dpi-differences");
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
    const Comparison c = compareOutsideSparks(unscaled, scaled, 1.5, "scale-144dpi-differences");
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
    EXPECT_EQ(small.width, 1640);
    EXPECT_EQ(small.height, 1040);
    world->xHelper({"close", window});
    EXPECT_EQ(launcher.wait(10), 0);
}

} // namespace
} // namespace qv::launcher
