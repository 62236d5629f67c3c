#include "app/frame_loop.h"

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

namespace qv::launcher {

namespace {

// While the game is present but its icon cannot be read (a release without one, say), the retry
// waits this long between tries rather than reading the file and logging on every frame.
const double kIconRetrySeconds = 1.0;

void readWindowSizes(GLFWwindow* window, int& w, int& h, int& fbWidth, int& fbHeight) {
    glfwGetWindowSize(window, &w, &h);
    glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
}

} // namespace

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
    const bool wantsUpdate = phase == Updater::UpdateAvailable ||
                             (phase == Updater::NotInstalled && app.installRequested);
    if (wantsUpdate && !loop.autoStarted && !updater.busy.load()) {
        updater.update(false);
        loop.autoStarted = true;
    }
    if (app.verifyPending && phase == Updater::UpToDate && !updater.busy.load()) {
        updater.update(true);
        app.verifyPending = false;
    }
    if (!loop.iconSet && frame.snapshot.gamePresent &&
        frame.t - loop.lastIconTry >= kIconRetrySeconds) {
        loop.lastIconTry = frame.t;
        loop.iconSet = app.setWindowIcon();
    }
}

void drawFrame(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame, int fbWidth,
               int fbHeight) {
    ui.beginFrame(static_cast<int>(frame.w), static_cast<int>(frame.h), fbWidth, fbHeight);
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
        frame.t = t;
        frame.tf = static_cast<float>(t);
        frame.w = static_cast<float>(w);
        frame.h = static_cast<float>(h);

        double mouseX = 0.0, mouseY = 0.0;
        glfwGetCursorPos(window, &mouseX, &mouseY);
        const bool mouseDown = glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
        frame.modalInput.mouseX = static_cast<float>(mouseX);
        frame.modalInput.mouseY = static_cast<float>(mouseY);
        frame.modalInput.clicked = mouseDown && !loop.prevMouseDown;
        takeQueuedInput(frame);
        frame.input = (loop.keyDialogOpen || loop.channelMenuOpen) ? maskedInput(frame.modalInput)
                                                                   : frame.modalInput;

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
        loop.prevMouseDown = mouseDown;
        loop.lastTime = t;
    }
}

} // namespace qv::launcher
