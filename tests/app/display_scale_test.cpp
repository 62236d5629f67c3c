// Screen units against window coordinates and framebuffer pixels at the display scales desktops
// report, where coordinates are pixels (Windows, X11) and where they are points (Wayland, macOS).
#include "app/display_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>

namespace qv::launcher {
namespace {

TEST(DisplayScale, LayoutStaysInScreenUnitsAtEveryScale) {
    struct Case {
        const char* what;
        int windowWidth, fbWidth, fbHeight;
        float contentScale;
        float pixelsPerUnit, unitsPerCursor, width, height;
        int minWidth, minHeight; // 820 by 520 units in window coordinates
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"100%", 1024, 1024, 620, 1, 1, 1, 1024, 620, 820, 520},
        {"200%, pixels", 2048, 2048, 1240, 2, 2, 0.5f, 1024, 620, 1640, 1040},
        {"150%, pixels", 1536, 1536, 930, 1.5f, 1.5f, 1 / 1.5f, 1024, 620, 1230, 780},
        {"125%, pixels", 1280, 1280, 775, 1.25f, 1.25f, 0.8f, 1024, 620, 1025, 650},
        // 820 and 520 units are 1093.3 and 693.3 coordinates: a minimum rounded to the nearest
        // would let the window be a fraction of a unit too small.
        {"133%, pixels", 1365, 1365, 827, 4 / 3.0f, 4 / 3.0f, 0.75f, 1023.75f, 620.25f, 1094, 694},
        {"200%, points", 1024, 2048, 1240, 2, 2, 1, 1024, 620, 820, 520},
        {"resized at 150%", 1537, 1537, 931, 1.5f, 1.5f, 1 / 1.5f, 1537 / 1.5f, 931 / 1.5f, 1230,
         780},
        {"no scale reported", 1024, 1024, 620, 0, 1, 1, 1024, 620, 820, 520},
        {"a negative scale", 1024, 1024, 620, -2, 1, 1, 1024, 620, 820, 520},
        {"not a number", 1024, 1024, 620, nan, 1, 1, 1024, 620, 820, 520},
        {"minimised", 0, 0, 0, 2, 2, 0.5f, 0.5f, 0.5f, 1640, 1040},
    };
    for (const Case& c : cases) {
        const DisplayScale d = displayScale(c.windowWidth, c.fbWidth, c.fbHeight, c.contentScale);
        EXPECT_FLOAT_EQ(d.pixelsPerUnit, c.pixelsPerUnit) << c.what;
        EXPECT_FLOAT_EQ(d.unitsPerCursor, c.unitsPerCursor) << c.what;
        EXPECT_FLOAT_EQ(d.width, c.width) << c.what;
        EXPECT_FLOAT_EQ(d.height, c.height) << c.what;
        EXPECT_EQ(windowCoordinates(820, d), c.minWidth) << c.what;
        EXPECT_EQ(windowCoordinates(520, d), c.minHeight) << c.what;
    }
}

TEST(DisplayScale, TheFirstWindowFitsTheWorkAreaWithItsFrame) {
    struct Case {
        ScreenRect window, workArea;
        WindowFrame frame;
        int minWidth, minHeight;
        ScreenRect fitted;
    };
    const WindowFrame titled{8, 31, 8, 8};
    const Case cases[] = {
        // fits already
        {{100, 80, 1024, 620}, {0, 0, 1920, 1040}, titled, 820, 520, {100, 80, 1024, 620}},
        // 1366x768 at 125% above a taskbar: moved up as far as its title bar allows
        {{34, 57, 1280, 775}, {0, 0, 1366, 728}, titled, 1025, 650, {34, 31, 1280, 689}},
        // 1920x1080 at 175%, no frame (no window manager)
        {{0, 0, 1792, 1085}, {0, 0, 1920, 1080}, {}, 1435, 910, {0, 0, 1792, 1080}},
        // not even the minimum fits
        {{0, 0, 1280, 775}, {0, 0, 1024, 600}, {}, 1025, 650, {0, 0, 1025, 650}},
        // nor does it with its frame: the title bar stays on the screen
        {{20, 20, 1280, 775}, {0, 0, 1024, 600}, titled, 1025, 650, {8, 31, 1025, 650}},
        // on a second monitor right of the first
        {{1946, 57, 1280, 775}, {1920, 0, 1366, 728}, titled, 1025, 650, {1946, 31, 1280, 689}},
        // placed partly past the right edge
        {{600, 40, 1024, 620}, {0, 0, 1366, 728}, titled, 820, 520, {334, 40, 1024, 620}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const ScreenRect f = fitToWorkArea(c.window, c.workArea, c.frame, c.minWidth, c.minHeight);
        EXPECT_EQ(f.x, c.fitted.x) << "case " << i;
        EXPECT_EQ(f.y, c.fitted.y) << "case " << i;
        EXPECT_EQ(f.width, c.fitted.width) << "case " << i;
        EXPECT_EQ(f.height, c.fitted.height) << "case " << i;
    }
}

TEST(DisplayScale, FontPixelsAreWholeFramebufferPixelsAndPositionsSnapToThem) {
    struct Case {
        float s, scale, pixels; // framebuffer pixels per font pixel
    };
    // Halves round down: 4.5, 10.5 and 2.5 pixels are drawn 4, 10 and 2.
    for (const Case& c : {Case{2, 1, 2}, Case{2, 1.5f, 3}, Case{3, 1.5f, 4}, Case{7, 1.5f, 10},
                          Case{2, 1.25f, 2}, Case{3, 1.25f, 4}, Case{4, 2, 8}, Case{0.4f, 1, 1}}) {
        EXPECT_FLOAT_EQ(glyphPixelUnits(c.s, c.scale) * c.scale, c.pixels)
            << c.s << " at " << c.scale;
    }
    EXPECT_FLOAT_EQ(snapToPixel(10.3f, 1.5f), 10.0f);
    EXPECT_FLOAT_EQ(snapToPixel(10.4f, 1.5f), 32.0f / 3.0f);
    EXPECT_FLOAT_EQ(snapToPixel(7.5f, 1), 8.0f);
    EXPECT_FLOAT_EQ(snapToPixel(-7.5f, 1), -8.0f);
}

} // namespace
} // namespace qv::launcher
