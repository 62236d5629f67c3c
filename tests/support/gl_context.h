// GLFW and a hidden window with the OpenGL 4.5 core context the launcher asks for, from Mesa
// under Xvfb, for the tests that draw or load entry points.
#pragma once

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <dlfcn.h>

#include <cstdlib>

namespace qv::launcher::test {

// GLFW is started once per process and stopped at exit. Mesa's GLX library keeps strings it
// allocates for the whole life of the process; were it unloaded by glfwTerminate they would
// become unreachable and LeakSanitizer would blame the test for them, so it stays loaded (the
// first context loads it anyway). Kept loaded, it does not take a second start of GLFW.
inline bool startGlfwOnce() {
    static const bool started = [] {
        dlopen("libGLX_mesa.so.0", RTLD_LAZY | RTLD_NODELETE);
        if (glfwInit() != GLFW_TRUE) return false;
        std::atexit(glfwTerminate);
        return true;
    }();
    return started;
}

// A hidden 64 by 64 window with an OpenGL 4.5 core context, made current; nullptr when there is
// no such context.
inline GLFWwindow* openHiddenGlWindow(const char* title) {
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    GLFWwindow* window = glfwCreateWindow(64, 64, title, nullptr, nullptr);
    if (window != nullptr) glfwMakeContextCurrent(window);
    return window;
}

// Gives the context back and closes its window; nothing for nullptr.
inline void closeGlWindow(GLFWwindow* window) {
    if (window == nullptr) return;
    glfwMakeContextCurrent(nullptr);
    glfwDestroyWindow(window);
}

} // namespace qv::launcher::test
