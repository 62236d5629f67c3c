// OpenGL error names, the error drain and the debug-message output, all into the log.

#include "base/gl.h"

#include "base/log.h"

namespace qv::launcher {

namespace {

// A context that keeps raising errors must not flood the log from one check.
constexpr int kMaxErrorsPerCheck = 8;

} // namespace

const char* glErrorName(unsigned code) {
    switch (code) {
    case GL_INVALID_ENUM:
        return "GL_INVALID_ENUM";
    case GL_INVALID_VALUE:
        return "GL_INVALID_VALUE";
    case GL_INVALID_OPERATION:
        return "GL_INVALID_OPERATION";
    case GL_OUT_OF_MEMORY:
        return "GL_OUT_OF_MEMORY";
    case GL_INVALID_FRAMEBUFFER_OPERATION:
        return "GL_INVALID_FRAMEBUFFER_OPERATION";
    default:
        return "GL_UNKNOWN_ERROR";
    }
}

void checkGlError(const char* where) {
    if (glGetError == nullptr) return;
    int logged = 0;
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
        logError("GL error at %s: %s (0x%x)", where, glErrorName(error), error);
        if (++logged == kMaxErrorsPerCheck) return;
    }
}

void enableGlDebugOutput() {
    // glEnable is tested too: a context that offers the callback but not glEnable must not make
    // this call through a null pointer.
    if (glDebugMessageCallback == nullptr || glEnable == nullptr) return;
    // Synchronous delivery puts each message inside the call that raised it, on this thread.
    glEnable(GL_DEBUG_OUTPUT);
    glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
    glDebugMessageCallback(glDebugCallback, nullptr);
    if (glDebugMessageControl != nullptr)
        glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DEBUG_SEVERITY_NOTIFICATION, 0,
                              nullptr, GL_FALSE);
}

void APIENTRY glDebugCallback(GLenum, GLenum type, GLuint, GLenum severity, GLsizei,
                              const GLchar* message, const void*) {
    if (severity == GL_DEBUG_SEVERITY_NOTIFICATION) return;
    if (type == GL_DEBUG_TYPE_ERROR || severity == GL_DEBUG_SEVERITY_HIGH)
        logError("[GL] %s", message);
    else
        logWarn("[GL] %s", message);
}

} // namespace qv::launcher
