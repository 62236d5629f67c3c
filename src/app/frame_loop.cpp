#include "app/frame_loop.h"

#include "app/display_scale.h"
#include "app/input_queues.h"
#include "app/launcher_screen.h"
#include "app/modal_layers.h"
#include "app/news_action.h"
#include "base/gl.h"
#include "base/icon.h"
#include "base/log.h"
#include "base/platform.h"
#include "base/png.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace qv::launcher {

namespace {

// While the game is present but its icon cannot be read (a release without one, say), the retry
// waits this long between tries rather than reading the file and logging on every frame.
const double kIconRetrySeconds = 1.0;

void readWindowSizes(GLFWwindow* window, int& w, int& h, int& fbWidth, int& fbHeight) {
    glfwGetWindowSize(window, &w, &h);
    glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
}

float windowContentScale(GLFWwindow* window) {
    float x = 1.0f, y = 1.0f;
    glfwGetWindowContentScale(window, &x, &y);
    return x;
}

// The display's refresh period, or that of 60 Hz where the monitor tells none.
double displayPeriod() {
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    return refreshPeriod(mode ? mode->refreshRate : 0);
}

// The monitor whose area holds the centre of the window (the one it opens on), else the primary
// one; none where the desktop reports no monitor.
GLFWmonitor* monitorOf(const ScreenRect& window) {
    const int centreX = window.x + window.width / 2;
    const int centreY = window.y + window.height / 2;
    int count = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&count);
    for (int i = 0; i < count; ++i) {
        int x = 0, y = 0;
        glfwGetMonitorPos(monitors[i], &x, &y);
        const GLFWvidmode* mode = glfwGetVideoMode(monitors[i]);
        if (mode && centreX >= x && centreX < x + mode->width && centreY >= y &&
            centreY < y + mode->height)
            return monitors[i];
    }
    return glfwGetPrimaryMonitor();
}

} // namespace

double refreshPeriod(int refreshRate) {
    return refreshRate > 0 ? 1.0 / refreshRate : 1.0 / 60.0;
}

double frameRest(double elapsed, double period) {
    return elapsed >= 0.0 && elapsed < period ? period - elapsed : 0.0;
}

void noteShownState(LoopState& loop, const Frame& frame) {
    LoopState::ShownState now;
    now.phase = frame.snapshot.phase;
    // A run asked for while this frame was drawn makes its snapshot stale: shown as busy.
    now.busy = frame.busyAtSnapshot || loop.runsAsked != frame.runsAskedAtSnapshot;
    now.layer = loop.keyDialogOpen ? 2 : loop.channelMenuOpen ? 1 : 0;
    now.keyLength = loop.keyDialogOpen ? loop.typedKey.size() : 0;
    now.w = static_cast<int>(frame.w);
    now.h = static_cast<int>(frame.h);
    const LoopState::ShownState& was = loop.shown;
    const bool same = now.phase == was.phase && now.busy == was.busy && now.layer == was.layer &&
                      now.keyLength == was.keyLength && now.w == was.w && now.h == was.h;
    const bool askedRunEnded = !now.busy && frame.runsAskedAtSnapshot != loop.runsShown;
    if (same && !askedRunEnded) return;
    loop.shown = now;
    if (!now.busy) loop.runsShown = frame.runsAskedAtSnapshot;
    char layer[32] = "";
    if (now.layer == 1) std::snprintf(layer, sizeof layer, " menu");
    if (now.layer == 2) std::snprintf(layer, sizeof layer, " dialog(%zu)", now.keyLength);
    logDebug("launcher: screen %s%s%s %dx%d", Updater::phaseName(now.phase),
             now.busy ? " busy" : "", layer, now.w, now.h);
}

bool setWindowIconFrom(GLFWwindow* window, const std::filesystem::path& launcherDir) {
    const std::filesystem::path icon = launcherDir / "game" / "assets" / "corvanthe.ico";
    std::vector<IconImage> images = loadIconFile(toUtf8(icon).c_str());
    if (images.empty()) return false;
    std::vector<GLFWimage> glfwImages;
    glfwImages.reserve(images.size());
    for (IconImage& image : images) {
        glfwImages.push_back(GLFWimage{image.width, image.height, image.rgba.data()});
    }
    glfwSetWindowIcon(window, static_cast<int>(glfwImages.size()), glfwImages.data());
    return true;
}

void runAutomaticActions(LauncherContext& app, LoopState& loop, const Frame& frame) {
    Updater& updater = app.updater;
    const std::int32_t phase = frame.snapshot.phase;
    // After a refused key the run follows Live; its release starting by itself would replace an
    // installed Testing build over a mistyped key, so it waits for the player's UPDATE.
    const bool keyRefused = frame.snapshot.keyState == Updater::KeyRefused;
    const bool wantsUpdate = (phase == Updater::UpdateAvailable && !keyRefused) ||
                             (phase == Updater::NotInstalled && app.installRequested);
    if (wantsUpdate && !loop.autoStarted && !updater.busy.load()) {
        askUpdate(updater, loop, false);
        loop.autoStarted = true;
    }
    if (app.verifyPending && phase == Updater::UpToDate && !updater.busy.load()) {
        askUpdate(updater, loop, true);
        app.verifyPending = false;
    }
    if (!loop.iconSet && frame.snapshot.gamePresent &&
        frame.t - loop.lastIconTry >= kIconRetrySeconds) {
        loop.lastIconTry = frame.t;
        loop.iconSet = app.setWindowIcon();
    }
}

void setWindowSizeLimits(GLFWwindow* window, const DisplayScale& scale) {
    glfwSetWindowSizeLimits(window, windowCoordinates(minWindowWidth, scale),
                            windowCoordinates(minWindowHeight, scale), GLFW_DONT_CARE,
                            GLFW_DONT_CARE);
}

void fitWindowToScreen(GLFWwindow* window, const DisplayScale& scale) {
    ScreenRect placed;
    glfwGetWindowPos(window, &placed.x, &placed.y);
    glfwGetWindowSize(window, &placed.width, &placed.height);
    GLFWmonitor* monitor = monitorOf(placed);
    if (!monitor) return;
    ScreenRect area;
    glfwGetMonitorWorkarea(monitor, &area.x, &area.y, &area.width, &area.height);
    if (area.width <= 0 || area.height <= 0) return;
    WindowFrame frame;
    glfwGetWindowFrameSize(window, &frame.left, &frame.top, &frame.right, &frame.bottom);
    const ScreenRect fitted =
        fitToWorkArea(placed, area, frame, windowCoordinates(minWindowWidth, scale),
                      windowCoordinates(minWindowHeight, scale));
    if (fitted.width != placed.width || fitted.height != placed.height)
        glfwSetWindowSize(window, fitted.width, fitted.height);
    if (fitted.x != placed.x || fitted.y != placed.y) glfwSetWindowPos(window, fitted.x, fitted.y);
}

DisplayScale readDisplayScale(GLFWwindow* window) {
    int w = 0, h = 0, fbWidth = 0, fbHeight = 0;
    readWindowSizes(window, w, h, fbWidth, fbHeight);
    return displayScale(w, fbWidth, fbHeight, windowContentScale(window));
}

void drawFrame(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame, int fbWidth,
               int fbHeight) {
    ui.beginFrame(fbWidth, fbHeight, frame.pixelsPerUnit);
    frame.dialogOpenedThisFrame = false;
    drawLauncherScreen(ui, app, loop, frame);
    drawNewsPanel(ui, loop, frame);
    drawActionBar(ui, app, loop, frame);
    // Keys and typed text reach only the modal layers; without the dialog they are dropped.
    if (loop.channelMenuOpen) drawChannelMenu(ui, app, loop, frame);
    if (loop.keyDialogOpen) drawKeyDialog(ui, app, loop, frame);
    ui.endFrame();
}

bool saveScreenshot(const std::string& path, int fbWidth, int fbHeight,
                    std::vector<std::uint8_t>& pixels) {
    pixels.assign(static_cast<std::size_t>(fbWidth) * static_cast<std::size_t>(fbHeight) * 3, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, fbWidth, fbHeight, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    if (!writePng(path.c_str(), pixels.data(), fbWidth, fbHeight, 3, true)) return false;
    logInfo("launcher: saved %s", path.c_str());
    return true;
}

void runFrameLoop(LauncherContext& app, UiRenderer& ui, LoopState& loop) {
    GLFWwindow* window = app.window;
    Frame frame;
    std::vector<std::uint8_t> shotPixels;
    const double period = displayPeriod();
    loop.lastTime = glfwGetTime();
    for (;;) {
        if (glfwWindowShouldClose(window) || loop.quitAfterFrame) return;
        glfwPollEvents();

        double t = glfwGetTime();
        int w = 0, h = 0, fbWidth = 0, fbHeight = 0;
        readWindowSizes(window, w, h, fbWidth, fbHeight);
        // Minimised: nothing is drawn and nothing starts; the loop sleeps in short steps so a
        // close still ends it promptly, and dt counts from the last wake-up once restored.
        while (w == 0 || h == 0) {
            glfwWaitEventsTimeout(0.1);
            if (glfwWindowShouldClose(window)) return;
            loop.lastTime = t;
            glfwPollEvents();
            t = glfwGetTime();
            readWindowSizes(window, w, h, fbWidth, fbHeight);
        }
        // The layout is in screen units at any display scale; a window moved to a monitor of
        // another scale is laid out anew by this, and its size limits follow.
        const DisplayScale scale = displayScale(w, fbWidth, fbHeight, windowContentScale(window));
        if (scale.unitsPerCursor != loop.unitsPerCursor) {
            loop.unitsPerCursor = scale.unitsPerCursor;
            setWindowSizeLimits(window, scale);
        }
        frame.t = t;
        frame.tf = static_cast<float>(t);
        frame.w = scale.width;
        frame.h = scale.height;
        frame.pixelsPerUnit = scale.pixelsPerUnit;

        double mouseX = 0.0, mouseY = 0.0;
        glfwGetCursorPos(window, &mouseX, &mouseY);
        frame.modalInput.mouseX = static_cast<float>(mouseX) * scale.unitsPerCursor;
        frame.modalInput.mouseY = static_cast<float>(mouseY) * scale.unitsPerCursor;
        takeQueuedInput(frame);
        frame.input = (loop.keyDialogOpen || loop.channelMenuOpen) ? maskedInput(frame.modalInput)
                                                                   : frame.modalInput;

        // Busy is read first: when no run goes then, none can start before the snapshot (only
        // this thread starts runs), so the snapshot holds the outcome of every run asked so far.
        frame.busyAtSnapshot = app.updater.busy.load();
        frame.runsAskedAtSnapshot = loop.runsAsked;
        frame.snapshot = app.updater.snapshot();
        if (frame.snapshot.phase == Updater::Restarting) return;

        runAutomaticActions(app, loop, frame);

        frame.dt = static_cast<float>(std::min(t - loop.lastTime, 0.1));
        drawFrame(ui, app, loop, frame, fbWidth, fbHeight);

        if (app.shotTime >= 0.0 && t >= app.shotTime) {
            saveScreenshot(app.shotPath, fbWidth, fbHeight, shotPixels);
            return;
        }
        glfwSwapBuffers(window);
        noteShownState(loop, frame);
        loop.lastTime = t;
        // Where the swap does not wait for the display (no vertical sync under some virtual
        // machines, remote desktops and Xvfb), the frame would otherwise start again at once.
        const double rest = frameRest(glfwGetTime() - t, period);
        if (rest > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(rest));
    }
}

} // namespace qv::launcher
