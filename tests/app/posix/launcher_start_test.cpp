// The four start-up failures of the real launcher, for real: no display, an OpenGL below 4.5, a
// driver whose shaders do not compile, and a build without a release key. Each ends with exit
// code 1, the message on standard error and in the log, and an error box where a display is
// there: the launcher waits until the box is closed (here by the test, as a player would). With
// no display at all the message goes to standard error only and nothing waits.
#include <gtest/gtest.h>

#include <sstream>

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

bool haveDialogProgram() {
    return fs::exists("/usr/bin/xmessage") || fs::exists("/usr/bin/zenity");
}

class LauncherStartGui : public testing::Test {
  protected:
    void SetUp() override {
        world = std::make_unique<GuiWorld>();
        ASSERT_TRUE(world->displayOk()) << "no private Xvfb";
    }

    // Starts the launcher (no server is needed: none of these gets that far) and expects the
    // failure with its message on standard error and at error level in the log. With a display,
    // the error box shows, the launcher waits while it is open, and ends when it is closed; the
    // box is saved as a screenshot under the name.
    void expectFatal(const std::string& message, Environment env, const std::string& box) {
        Child launcher = box.empty() ? Child({world->launcherExe().string()}, {}, world->root(),
                                             world->root() / "launcher-output.txt")
                                     : world->start({}, std::move(env), false);
        if (!box.empty() && haveDialogProgram()) closeErrorBox(launcher, box);
        EXPECT_EQ(launcher.wait(30), 1) << world->output();
        EXPECT_TRUE(contains(world->output(), "Corvanthe Launcher: " + message)) << world->output();
        EXPECT_TRUE(contains(world->log(), "error " + message)) << world->log();
        EXPECT_FALSE(contains(world->log(), "launcher: closing"));
    }

    void closeErrorBox(Child& launcher, const std::string& name) {
        // The box has the launcher's caption; so has the launcher's own window where it was
        // made already, which the box does not belong to.
        const auto findBox = [&] {
            const std::string own =
                world->xdotool({"search", "--pid", std::to_string(launcher.pid())});
            std::istringstream found(
                world->xdotool({"search", "--onlyvisible", "--name", "^Corvanthe Launcher$"}));
            std::string box;
            for (std::string id; std::getline(found, id);) {
                if (!id.empty() && !contains("\n" + own + "\n", "\n" + id + "\n")) box = id;
            }
            return box;
        };
        std::string box;
        waitUntil([&] { return !(box = findBox()).empty(); }, 30.0);
        ASSERT_FALSE(box.empty()) << "no error box\n" << world->output();
        EXPECT_FALSE(launcher.ended()) << "the launcher did not wait for its error box";
        world->shot(box, name);
        world->xHelper({"close", box});
        // On a loaded machine the window found first can be the launcher's own, not yet marked
        // with its process, or a box not yet ready for a close: whatever box is still up is
        // closed again until the launcher ends.
        waitUntil(
            [&] {
                if (launcher.ended()) return true;
                const std::string still = findBox();
                if (!still.empty()) world->xHelper({"close", still});
                return launcher.ended();
            },
            60.0);
    }

    std::unique_ptr<GuiWorld> world;
};

TEST_F(LauncherStartGui, NoDisplayStopsTheStart) {
    expectFatal(kNoGlfw, {}, "");
}

TEST_F(LauncherStartGui, OpenGlBelow45StopsTheStart) {
    expectFatal(kNoOpenGl, {{"MESA_GL_VERSION_OVERRIDE", "3.3"}}, "error-box-opengl");
}

TEST_F(LauncherStartGui, ShadersThatDoNotCompileStopTheStart) {
    // The context is still 4.5; only its shading language stops below "#version 450 core".
    expectFatal(kNoDrawing,
                {{"MESA_GL_VERSION_OVERRIDE", "4.5"}, {"MESA_GLSL_VERSION_OVERRIDE", "330"}},
                "error-box-drawing");
    EXPECT_TRUE(contains(world->log(), "launcher: shader did not link")) << world->log();
}

TEST_F(LauncherStartGui, BuildWithoutAKeyStopsTheStartBeforeAnyWindow) {
    fs::copy_file(binary("corvanthe-launcher-nokey"), world->launcherExe(),
                  fs::copy_options::overwrite_existing);
    expectFatal(kNoKey, {}, "error-box-no-key");
    // The key is read before GLFW starts: nothing of the window or the renderer was reached.
    EXPECT_FALSE(contains(world->output(), "GL function not available"));
}

} // namespace
} // namespace qv::launcher
