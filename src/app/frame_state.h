// What the frame loop, the screen and the modal layers share: main's locals they reach (by
// reference), the loop state that lives across frames, and the values of one frame.
#pragma once

#include "app/settings.h"
#include "app/ui_input.h"
#include "app/widgets.h"
#include "update/updater.h"

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

struct GLFWwindow;

namespace qv::launcher {

// One background particle rising from the bottom edge.
struct Spark {
    float x, y;  // centre
    float vy;    // units per second, negative: rising
    float life;  // seconds it lives
    float age;   // seconds it has lived
    float size;  // side of its square
    float phase; // of its sideways sway, radians
};

inline constexpr std::size_t maxSparks = 70;

// The locals of main that the loop and the screen work with. main owns every one of them; this
// only gathers references so the pieces of the frame need not take a dozen parameters.
struct LauncherContext {
    GLFWwindow* window;
    Updater& updater;
    LauncherSettings& cfg;
    const std::filesystem::path& launcherDir;
    bool installRequested;
    bool& verifyPending;
    double shotTime;
    const std::string& shotPath;
    std::function<bool()> setWindowIcon; // bound to the window and the launcher folder
};

// Loop state: locals of main that live across frames.
struct LoopState {
    double lastTime = 0.0;
    float unitsPerCursor = 0.0f; // of the size limits last set; 0 before the first frame
    bool quitAfterFrame = false; // the game was started in this frame
    bool iconSet = false;
    double lastIconTry = -1.0e9; // GLFW time of the last retry of the window icon
    bool autoStarted = false;    // the automatic update was started (cleared on a channel change)
    bool keyDialogOpen = false;
    bool channelMenuOpen = false;
    std::string typedKey;
    float newsScrollTarget = 0.0f;
    float newsScrollPos = 0.0f;
    NewsLayout newsLayout; // of the news shown, at the panel's width
    std::vector<Spark> sparks;
    std::mt19937 sparkRng{1234};
    // What the log last said the screen shows (see noteShownState), and the runs the front end
    // asked for: every asked run is followed by one line once no run goes.
    struct ShownState {
        std::int32_t phase = -1;
        bool busy = false;
        int layer = 0;             // 0 none, 1 the channel menu, 2 the key dialog
        std::size_t keyLength = 0; // of the key typed into the dialog
        int w = 0, h = 0;
    } shown;
    unsigned runsAsked = 0;
    unsigned runsShown = 0;
};

// The front end's only ways to start a run, so that each one is counted in runsAsked.
inline void askCheck(Updater& updater, LoopState& loop) {
    updater.check(false);
    ++loop.runsAsked;
}
inline void askUpdate(Updater& updater, LoopState& loop, bool verify) {
    updater.update(verify);
    ++loop.runsAsked;
}

// The values of one frame. One object is reused for every frame, so its containers keep their
// capacity and taking the input allocates nothing once they have grown.
struct Frame {
    double t = 0.0;       // GLFW time
    float tf = 0.0f;      // the same as a float, for the animations
    float dt = 0.0f;      // seconds since the previous frame, at most 0.1
    float w = 1.0f;       // window size in screen units
    float h = 1.0f;
    float pixelsPerUnit = 1.0f; // framebuffer pixels per screen unit
    UiInput input;        // the main layer's input, masked while a modal layer is open
    UiInput modalInput;   // the input as gathered
    std::vector<int> keys;  // key presses and repeats, keyCtrlFlag added for Ctrl or Super
    std::string text;       // typed characters below 128
    bool escapePressed = false;
    Updater::Snapshot snapshot;
    bool busyAtSnapshot = false; // Updater::busy read just before the snapshot was taken
    unsigned runsAskedAtSnapshot = 0;
    float titleWidth = 0.0f;         // of "CORVANTHE" at the title scale; the news panel keeps clear
    float menuTop = 0.0f;            // top edge of the channel menu
    bool menuOpenedThisFrame = false;
    bool dialogOpenedThisFrame = false;
    std::string scratch; // reused for texts composed each frame
};

} // namespace qv::launcher
