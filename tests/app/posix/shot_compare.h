// Comparing the launcher's screenshots at two display scales: the layout is the same in screen
// units, so a shot at 200% halved (or one at 150% sampled at each unit's centre) is the shot at
// 100%, except where something moves: the sparks.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../../support/rgb_image.h"
#include "base/png.h"
#include "gui_fixture.h"

namespace qv::launcher::test {

// The sparks start at the first frame, born 10 units under the window; they rise at most 90
// units a second with glows of at most 16 units. A frame moves them by at most 0.1 s however
// long it took, so they are no older than the time from the first frame to the shot and 0.2 s
// for the first two frames. In a shot whose sparks are at most kShotSeconds old nothing moves
// above the line 190 units over the bottom (at the start size, 430) nor, at any time, right of
// 0.65 w and 35 units (they are born left of 0.65 w and sway less than 19; at the start size,
// x 700) but the glows' slow pulse. A shot is taken again until its sparks are that young, so the
// area compared is the same on every machine, however late its first frame comes.
inline const double kShotSeconds = 2.0;
struct SparkFree {
    int above = 0;   // rows above this one (0: none, the sparks may be at any height)
    int rightOf = 0; // columns right of this one
};
// In a shot of a screen w by h units that shotVerdict kept.
inline SparkFree sparkFreeEarly(int w, int h) {
    return {h - 6 - static_cast<int>(90 * kShotSeconds) - 4, static_cast<int>(0.65 * w) + 35};
}
// In a shot of a window that has been open for longer.
inline SparkFree sparkFreeLater(int w) {
    return {0, static_cast<int>(0.65 * w) + 35};
}

// Whether the launcher's log says the screen showed the state (as "launcher: screen" logs it)
// before "--shot" saved the frame: a shot that came first is of an earlier screen.
inline bool shownBeforeTheShot(const std::string& log, const std::string& state) {
    const std::size_t shown = log.find("launcher: screen " + state);
    const std::size_t saved = log.find("launcher: saved");
    return shown != std::string::npos && saved != std::string::npos && shown < saved;
}

// The seconds since the log's start of its first line with the text ("[clock] [seconds] ..."),
// or -1 where no line has it.
inline double loggedAt(const std::string& log, const std::string& text) {
    const std::size_t at = log.find(text);
    if (at == std::string::npos) return -1.0;
    const std::size_t line = log.rfind('\n', at);
    const std::size_t seconds = log.find("] [", line == std::string::npos ? 0 : line + 1);
    return seconds < at ? std::atof(log.c_str() + seconds + 3) : -1.0;
}

// Whether a "--shot" taken at seconds shows the state with sparks at most kShotSeconds old,
// and if not, the time to take it at next: one that makes them about 1.5 s old, or older where
// the state came later after the first frame, judged by when the first frame came in this
// start. The log's clock runs ahead of GLFW's, which starts later.
struct ShotVerdict {
    bool keep = false;
    double nextSeconds = 0.0;
};
inline ShotVerdict shotVerdict(const std::string& log, const std::string& state, double seconds) {
    const double saved = loggedAt(log, "launcher: saved");
    const double firstFrame = loggedAt(log, "launcher: screen ");
    if (saved < 0.0) return {false, seconds + 1.0};
    if (firstFrame < 0.0) return {false, saved + 1.3}; // the shot was the first frame
    const double sparkAge = saved - firstFrame + 0.2;
    if (shownBeforeTheShot(log, state) && sparkAge <= kShotSeconds) return {true, seconds};
    // A state not yet shown is given as long as the sparks allow.
    const double shown = loggedAt(log, "launcher: screen " + state);
    const double latest = kShotSeconds - 0.1;
    const double aimed = shown < 0.0 ? latest : std::clamp(shown - firstFrame + 0.5, 1.5, latest);
    return {false, std::max(0.1, seconds + aimed - sparkAge)};
}

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
inline const int kLeftColumnEnd = 500;

inline Comparison compareOutsideSparks(const RgbImage& unscaled, const RgbImage& scaled,
                                       double scale, const std::string& name, SparkFree free = {}) {
    if (free.rightOf == 0) free = sparkFreeEarly(unscaled.width, unscaled.height);
    Comparison result;
    std::vector<std::uint8_t> map(unscaled.rgb.size(), 0);
    const int whole = static_cast<int>(scale);
    const bool blocks = whole == scale;
    for (int y = 0; y < unscaled.height; ++y) {
        for (int x = 0; x < unscaled.width; ++x) {
            if (y >= free.above && x <= free.rightOf) continue;
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
            const bool left = x < kLeftColumnEnd && y < free.above;
            ++(left ? result.leftCompared : result.compared);
            (left ? result.leftDiffering : result.differing) += differs;
            if (differs) std::fill_n(&map[(std::size_t(y) * unscaled.width + x) * 3], 3, 255);
        }
    }
    writePng((shotsFolder() / (name + ".png")).string().c_str(), map.data(), unscaled.width,
             unscaled.height, 3, false);
    return result;
}

} // namespace qv::launcher::test
