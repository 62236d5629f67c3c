// The launcher's entry point: start-up up to the first frame, and shut-down after the last.
// Everything lives as a local of main until the process ends; shut-down ends the process itself,
// so the Updater is never destroyed and a running download is neither stopped nor waited for.
#include "app/command_line.h"
#include "app/error_box.h"
#include "app/frame_loop.h"
#include "app/frame_state.h"
#include "app/input_queues.h"
#include "app/settings.h"
#include "app/ui_renderer.h"
#include "base/gl.h"
#include "base/log.h"
#include "base/platform.h"
#include "update/hex.h"
#include "update/updater.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef CORVANTHE_RELEASE_KEY
#define CORVANTHE_RELEASE_KEY ""
#endif
#ifndef CORVANTHE_DEFAULT_SERVER
#define CORVANTHE_DEFAULT_SERVER "http://127.0.0.1:25980/"
#endif

using namespace qv::launcher;
namespace fs = std::filesystem;

namespace {

// The only key that signed texts are verified against: 64 hex digits, given to the build.
const char* const kReleaseKeyHex = CORVANTHE_RELEASE_KEY;
const char* const kDefaultServer = CORVANTHE_DEFAULT_SERVER;

const char* const kNoKeyMessage = "This launcher was built without a release key.";
const char* const kNoGlfwMessage = "Could not open a window (GLFW failed to start).";
const char* const kNoOpenGlMessage =
    "Corvanthe needs a graphics card and driver with OpenGL 4.5, and this machine did not offer "
    "one. Updating the graphics driver usually fixes it.";
const char* const kNoDrawingMessage = "The launcher could not set up its drawing.";

fs::path findLauncherDir(const fs::path& exePath) {
    if (!exePath.empty()) return exePath.parent_path();
    std::error_code ec;
    fs::path current = fs::current_path(ec);
    // A working folder that no longer exists leaves the relative "." as the only place there is.
    return ec ? fs::path(".") : current;
}

[[noreturn]] void shutDown(UiRenderer& renderer, GLFWwindow* window) {
    renderer.destroy();
    glfwDestroyWindow(window);
    glfwTerminate();
    logInfo("launcher: closing");
    closeLog();
    std::fflush(nullptr);
    std::_Exit(0);
}

int runLauncher(int argc, char** argv);

} // namespace

int main(int argc, char** argv) {
    ignoreBrokenPipe();
    // Expected failures do not throw; what the standard library may still throw (a path that is
    // no valid text, memory running out) ends the launcher with exit code 1 and its reason in
    // the log, rather than with an abort and nothing said.
    try {
        return runLauncher(argc, argv);
    } catch (const std::exception& e) {
        logError("launcher: %s", e.what());
        closeLog();
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

namespace {

int runLauncher(int argc, char** argv) {
    const fs::path exePath = selfPath();
    const fs::path launcherDir = findLauncherDir(exePath);

    std::error_code ec;
    const fs::path logDir = launcherDir / "logs";
    fs::create_directories(logDir, ec);
    openLog(toUtf8(logDir).c_str(), 5);
    logInfo("Corvanthe launcher, %s, in %s", platformName(), toUtf8(launcherDir).c_str());

    // An earlier self-update moved the old executable aside; it is no longer running. One
    // stopped between its two moves is finished first.
    if (!exePath.empty()) {
        finishLauncherSwap(exePath);
        fs::path old = exePath;
        old += ".old";
        fs::remove(old, ec);
    }

    LauncherSettings cfg = loadSettings(launcherDir);
    std::string serverUrl = cfg.server.empty() ? std::string(kDefaultServer) : cfg.server;

    const std::vector<std::string> arguments = commandLineArguments(argc, argv);
    const CommandLine line = parseCommandLine(arguments);
    if (line.serverGiven) serverUrl = line.server;
    bool verifyPending = line.verifyPending;
    logInfo("launcher: update server %s", serverUrl.c_str());

    std::array<std::uint8_t, 32> releaseKey{};
    if (!fromHex(kReleaseKeyHex, releaseKey.data(), releaseKey.size())) {
        showError(kNoKeyMessage);
        return 1;
    }

    if (!glfwInit()) {
        showError(kNoGlfwMessage);
        return 1;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, 1);
    glfwWindowHint(GLFW_SAMPLES, 4);
    glfwWindowHintString(GLFW_WAYLAND_APP_ID, "corvanthe");
    // Shown only once its size limits are set, so the desktop never sees it without them.
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    // The size is in screen units: where window coordinates are pixels, the window is made the
    // display's scale times larger (and follows a monitor of another scale).
    glfwWindowHint(GLFW_SCALE_TO_MONITOR, GLFW_TRUE);
    GLFWwindow* window = glfwCreateWindow(1024, 620, "Corvanthe Launcher", nullptr, nullptr);
    if (!window) {
        glfwTerminate();
        showError(kNoOpenGlMessage);
        return 1;
    }
    const DisplayScale scale = readDisplayScale(window);
    setWindowSizeLimits(window, scale);
    // A laptop's screen at 125% or 175% is smaller than the default size in its pixels: the
    // action bar would open under the taskbar or past the screen's edge.
    fitWindowToScreen(window, scale);
    glfwShowWindow(window);
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    glfwSetScrollCallback(window, onScroll);
    glfwSetCharCallback(window, onChar);
    glfwSetKeyCallback(window, onKey);
    glfwSetMouseButtonCallback(window, onMouseButton);
    loadGlFunctions(glfwGetProcAddress);

    LoopState loop;
    auto setWindowIcon = [&launcherDir, &window] { return setWindowIconFrom(window, launcherDir); };
    loop.iconSet = setWindowIcon();

    UiRenderer renderer;
    if (!renderer.init()) {
        showError(kNoDrawingMessage);
        return 1;
    }

    Updater updater(launcherDir, serverUrl, releaseKey.data());
    updater.restartArgs = restartArguments(arguments);
    updater.setChannel(cfg.testing ? Updater::Testing : Updater::Live, cfg.testerKey);
    updater.check(line.allowSelfUpdate);

    LauncherContext app{
        window,        updater,       cfg,           launcherDir,  line.installRequested,
        verifyPending, line.shotTime, line.shotPath, setWindowIcon};
    runFrameLoop(app, renderer, loop);
    shutDown(renderer, window);
}

} // namespace
