// The four start-up failures of the real launcher, for real: no display, an OpenGL below 4.5, a
// driver whose shaders do not compile, and a build without a release key. Each ends with exit
// code 1, the message on standard error and in the log, and an error box where a desktop can
// show one (the box is detached, so nothing waits for it).
#include <gtest/gtest.h>

#include "gui_fixture.h"

namespace qv::launcher {
namespace {

using namespace test;

const char* const kNoKey = "This launcher was built without a release key.";
const char* const kNoGlfw = "Could not open a window (GLFW failed to start).";
const char* const kNoOpenGl =
    "Corvanthe needs a graphics card and driver with OpenGL 4.5, and this machine did not offer "
    "one. Updating the graphics driver usually fixes it.";
const char* const kNoDrawing = "The launcher could not set up its drawing.";

bool haveDialogProgram() { return fs::exists("/usr/bin/xmessage") || fs::exists("/usr/bin/zenity"); }

class LauncherStartGui : public testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is unset)";
        world = std::make_unique<GuiWorld>();
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
    }

    // Starts the launcher (no server is needed: none of these gets that far) and expects the
    // failure with its message on standard error and at error level in the log.
    void expectFatal(const std::string& message, Environment env, bool withDisplay = true) {
        Child launcher = world->start({}, std::move(env), false);
        if (!withDisplay) {
            // A child of a test with no display at all.
            launcher = Child({world->launcherExe().string()}, {}, world->root(),
                             world->root() / "launcher-output.txt");
        }
        EXPECT_EQ(launcher.wait(30), 1) << world->output();
        EXPECT_TRUE(contains(world->output(), "Corvanthe Launcher: " + message)) << world->output();
        EXPECT_TRUE(contains(world->log(), "error " + message)) << world->log();
        EXPECT_FALSE(contains(world->log(), "launcher: closing"));
    }

    // The error box on the private display, saved as a screenshot and closed.
    void expectErrorBox(const std::string& name) {
        if (!haveDialogProgram()) return;
        std::string box;
        waitUntil([&] {
            box = world->xdotool({"search", "--onlyvisible", "--name", "^Corvanthe Launcher$"});
            return !box.empty();
        }, 10.0);
        ASSERT_FALSE(box.empty()) << "no error box";
        box = box.substr(0, box.find('\n'));
        sleepSeconds(0.3);
        world->shot(box, name);
        world->xHelper({"close", box});
    }

    std::unique_ptr<GuiWorld> world;
};

TEST_F(LauncherStartGui, NoDisplayStopsTheStart) {
    expectFatal(kNoGlfw, {}, false);
}

TEST_F(LauncherStartGui, OpenGlBelow45StopsTheStart) {
    expectFatal(kNoOpenGl, {{"MESA_GL_VERSION_OVERRIDE", "3.3"}});
    expectErrorBox("error-box-opengl");
}

TEST_F(LauncherStartGui, ShadersThatDoNotCompileStopTheStart) {
    // The context is still 4.5; only its shading language stops below "#version 450 core".
    expectFatal(kNoDrawing, {{"MESA_GL_VERSION_OVERRIDE", "4.5"}, {"MESA_GLSL_VERSION_OVERRIDE", "330"}});
    EXPECT_TRUE(contains(world->log(), "launcher: shader did not link")) << world->log();
    expectErrorBox("error-box-drawing");
}

TEST_F(LauncherStartGui, BuildWithoutAKeyStopsTheStartBeforeAnyWindow) {
    fs::copy_file(binary("corvanthe-launcher-nokey"), world->launcherExe(),
                  fs::copy_options::overwrite_existing);
    expectFatal(kNoKey, {});
    // The key is read before GLFW starts: nothing of the window or the renderer was reached.
    EXPECT_FALSE(contains(world->output(), "GL function not available"));
    expectErrorBox("error-box-no-key");
}

} // namespace
} // namespace qv::launcher
