// What one frame of the launcher costs on this machine's OpenGL (Mesa's software renderer under
// Xvfb): the whole screen at 1024 by 620 with the news panel full and 70 sparks alive, drawn
// through the real renderer. Prints the CPU and wall time per frame and the heap allocations per
// frame, and checks that the vertex batch stops growing once it has grown.
#include "app/frame_loop.h"
#include "app/frame_state.h"
#include "app/settings.h"
#include "app/ui_renderer.h"
#include "base/gl.h"
#include "update/updater.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

// AddressSanitizer brings allocation functions of its own, so a sanitized build measures
// without counting.
#define CORVANTHE_COUNT_ALLOCATIONS_UNLESS_ASAN
#include "../../support/alloc_counter.h"
#include "../../support/temp_dir.h"

namespace qv::launcher {
namespace {

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

std::string longNews() {
    std::string news = "# Corvanthe 2.0: the long road\n**Read this first**\n";
    for (int i = 0; i < 40; ++i) {
        news += "- Change number " + std::to_string(i) +
                ": a line long enough to wrap onto a second line inside the news panel\n";
        if (i % 8 == 7) news += "\nA paragraph of plain text with **asterisk pairs** in it.\n# Part\n";
    }
    return news;
}

TEST(FrameCostOpenGl, FullScreenWithNewsAndSeventySparks) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is unset)";
    // Mesa's GLX library keeps strings for the life of the process; unloaded they would look
    // leaked. Kept loaded, they stay reachable.
    dlopen("libGLX_mesa.so.0", RTLD_LAZY | RTLD_NODELETE);
    // A shared X server that resets as its last other client leaves turns a connection away for
    // a moment; a second try comes after the reset.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = glfwInit() == GLFW_TRUE;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(started);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, 1);
    glfwWindowHint(GLFW_SAMPLES, 4);
    GLFWwindow* window = glfwCreateWindow(1024, 620, "Corvanthe Launcher", nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    glfwMakeContextCurrent(window);
    glfwSwapInterval(0); // measure the work, not the display's pace
    loadGlFunctions(glfwGetProcAddress);
    UiRenderer renderer;
    ASSERT_TRUE(renderer.init());

    test::TempDir tmp;
    const std::uint8_t key[32] = {};
    Updater updater(tmp.path(), "http://127.0.0.1:9/", key);
    LauncherSettings cfg;
    bool verifyPending = false;
    const std::string shotPath;
    LauncherContext app{window, updater, cfg, tmp.path(), false, verifyPending, -1.0, shotPath,
                        [] { return true; }};
    LoopState loop;
    loop.iconSet = true;
    std::mt19937 place(7);
    for (std::size_t i = 0; i < maxSparks; ++i) {
        // Long-lived sparks spread over the window, so all 70 stay alive while measured.
        loop.sparks.push_back(Spark{static_cast<float>(place() % 600), static_cast<float>(place() % 620),
                                    -0.01f, 1.0e6f, 1.0e5f, 3.0f, 0.0f});
    }

    Frame frame;
    frame.w = 1024.0f;
    frame.h = 620.0f;
    frame.dt = 1.0f / 60.0f;
    frame.input.mouseX = frame.modalInput.mouseX = 860.0f; // over the action button
    frame.input.mouseY = frame.modalInput.mouseY = 540.0f;
    frame.snapshot.phase = Updater::Working;
    frame.snapshot.progress = 0.4;
    frame.snapshot.statusText = "Downloading 3 of 9: data/world.pak";
    frame.snapshot.installedVersion = "1.9";
    frame.snapshot.latestVersion = "2.0";
    frame.snapshot.gamePresent = true;
    frame.snapshot.news = longNews();

    int fbWidth = 0, fbHeight = 0;
    glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
    auto oneFrame = [&](int i) {
        frame.t = 10.0 + i / 60.0;
        frame.tf = static_cast<float>(frame.t);
        drawFrame(renderer, app, loop, frame, fbWidth, fbHeight);
    };
    for (int i = 0; i < 30; ++i) {
        oneFrame(i);
        glfwSwapBuffers(window);
    }
    glFinish();
    ASSERT_EQ(loop.sparks.size(), maxSparks);
    ASSERT_GT(loop.newsScrollPos, -1.0f);

    const std::size_t capacity = renderer.vertices.capacity();
    const int frames = 200;
    long allocationsInDraw = 0;
    double drawCpu = 0.0;
    const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wallStart = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        const long before = test::allocations.load();
        const double cpuBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        oneFrame(30 + i);
        drawCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
        allocationsInDraw += test::allocations.load() - before;
        glfwSwapBuffers(window);
    }
    glFinish();
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    // The same frame without news shows what the news wrapping costs in allocations.
    const std::string news = std::move(frame.snapshot.news);
    frame.snapshot.news.clear();
    oneFrame(300);
    const long before = test::allocations.load();
    oneFrame(301);
    const long withoutNews = test::allocations.load() - before;
    frame.snapshot.news = news;

    std::printf("frame at %dx%d, %zu sparks, %zu vertices: %.3f ms CPU (all threads, with "
                "presenting), %.3f ms wall; %.3f ms CPU of the main thread in building and drawing "
                "the batch\n",
                fbWidth, fbHeight, loop.sparks.size(), renderer.vertices.capacity(), 1000.0 * cpu / frames,
                1000.0 * wall / frames, 1000.0 * drawCpu / frames);
    // Once the batch and the wrapping buffers have grown, a frame allocates nothing.
    if (test::kCountsAllocations) {
        std::printf("heap allocations per frame: %.1f with the news, %ld without\n",
                    static_cast<double>(allocationsInDraw) / frames, withoutNews);
        EXPECT_EQ(allocationsInDraw, 0);
        EXPECT_EQ(withoutNews, 0);
    }
    EXPECT_EQ(renderer.vertices.capacity(), capacity) << "the batch kept growing";

    renderer.destroy();
    glfwDestroyWindow(window);
    // GLFW stays started: terminating it unloads the libraries it loaded, whose own lasting
    // allocations LeakSanitizer would then take for this test's.
}

} // namespace
} // namespace qv::launcher
