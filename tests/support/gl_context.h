// GLFW and a hidden window with the OpenGL 4.5 core context the launcher asks for, from Mesa
// under Xvfb, for the tests that draw or load entry points.
#pragma once

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

namespace qv::launcher::test {

// GLFW is started once per process and never stopped. The libraries it and Mesa load at run
// time (GLX, the X extensions, the driver) keep allocations for the whole life of the process;
// were they unloaded by glfwTerminate, those would become unreachable and LeakSanitizer would
// blame the test for them. Left loaded, everything they hold stays reachable until the end.
inline bool startGlfwOnce() {
    static const bool started = glfwInit() == GLFW_TRUE;
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
