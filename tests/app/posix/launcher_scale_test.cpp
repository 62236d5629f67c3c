// The real launcher at the display scales desktops report (Xft.dpi under a private Xvfb): its
// window and screenshot grow with the scale while the layout stays in screen units, so a shot at
// 200% halved, or one at 150% sampled back, is the shot at 100% outside the sparks. The shots
// land in <build>/gui-shots for a look.
#include <gtest/gtest.h>

#include <cmath>

#include "../../support/rgb_image.h"
#include "base/png.h"
#include "gui_fixture.h"

namespace qv::launcher {
namespace {

using namespace test;

// The launcher's first seconds put sparks only near the bottom: born 10 units under the window,
// they rise at most 90 units a second with glows of at most 16 units. Above this line and right
// of x 700 (they are born left of 0.65 w and sway 10 at most) nothing moves but the glows' slow
// pulse.
const double kShotSeconds = 2.0;
const int kSparkFreeAbove = 620 - 6 - 90 * 2 - 4;
const int kSparkFreeRightOf = 700;

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
            const std::string log = world->log();
            const std::size_t shown = log.find("launcher: screen UpToDate 1024x620");
            const std::size_t saved = log.find("launcher: saved");
            if (shown != std::string::npos && saved != std::string::npos && shown < saved) {
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

// Pixels of the 100% shot outside the sparks whose counterpart in the scaled shot differs by
// more than a little in any channel; the counterpart is the mean of the framebuffer pixels the
// unit covers, where a unit is whole pixels, else the pixel under the unit's centre.
// The differing pixels are also written, white on black, to the named shot for a look. The left
// column (title, version line, menu, key area: text and flat shapes) is counted apart from the
// rest, whose panels have 1-unit borders centred on pixel edges: at 100% they fall between two
// pixel rows and are drawn into one of them, at 200% they fill two rows of their own.
struct Comparison {
    int compared = 0;
    int differing = 0;
    int leftCompared = 0;
    int leftDiffering = 0;
};
const int kLeftColumnEnd = 500;

Comparison compareOutsideSparks(const RgbImage& unscaled, const RgbImage& scaled, double scale,
                                const std::string& name) {
    Comparison result;
    std::vector<std::uint8_t> map(unscaled.rgb.size(), 0);
    const int whole = static_cast<int>(scale);
    const bool blocks = whole == scale;
    for (int y = 0; y < unscaled.height; ++y) {
        for (int x = 0; x < unscaled.width; ++x) {
            if (y >= kSparkFreeAbove && x <= kSparkFreeRightOf) continue;
            std::array<int, 3> counterpart{};
            if (blocks) {
                for (int j = 0; j < whole; ++j)
                    for (int i = 0; i < whole; ++i) {
                        const auto p = scaled.at(x * whole + i, y * whole + j);
                        for (int c = 0; c < 3; ++c)
                            counterpart[c] += p[c];
                    }
                for (int c = 0; c < 3; ++c)
                    counterpart[c] /= whole * whole;
            } else {
                counterpart = scaled.at(static_cast<int>((x + 0.5) * scale),
                                        static_cast<int>((y + 0.5) * scale));
            }
            const auto p = unscaled.at(x, y);
            bool differs = false;
            for (int c = 0; c < 3; ++c)
                differs = differs || std::abs(p[c] - counterpart[c]) > 8;
            const bool left = x < kLeftColumnEnd && y < kSparkFreeAbove;
            ++(left ? result.leftCompared : result.compared);
            (left ? result.leftDiffering : result.differing) += differs;
            if (differs) std::fill_n(&map[(std::size_t(y) * unscaled.width + x) * 3], 3, 255);
        }
    }
    writePng((shotsFolder() / (name + ".png")).string().c_str(), map.data(), unscaled.width,
             unscaled.height, 3, false);
    return result;
}

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

} // namespace
} // namespace qv::launcher
