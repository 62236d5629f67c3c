// The OpenGL entry points: loading through a scripted loader and through a real Mesa context, and
// the error drain and debug output that report into the log.

#include "base/gl.h"
#include "base/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../../support/gl_context.h"
#include "../../support/log_folder.h"

namespace qv::launcher {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Every entry point in the order the launcher must load them, written out here on purpose: the
// test must not take the order from the code it checks.
const char* const kEntryPointList =
    // render state
    "glEnable glDisable glClear glClearColor glClearDepth glClearDepthf glClearStencil glViewport "
    "glScissor glDepthFunc glDepthMask glDepthRange glCullFace glFrontFace glBlendFunc "
    "glBlendFuncSeparate glBlendEquation glBlendEquationSeparate glColorMask glPolygonOffset "
    "glPolygonMode glLineWidth "
    // queries and pixels
    "glGetError glGetString glGetStringi glGetIntegerv glGetFloatv glFinish glFlush glPixelStorei "
    "glReadPixels glReadBuffer "
    // shaders and programs
    "glCreateShader glShaderSource glCompileShader glGetShaderiv glGetShaderInfoLog "
    "glDeleteShader glCreateProgram glAttachShader glDetachShader glLinkProgram glGetProgramiv "
    "glGetProgramInfoLog glUseProgram glDeleteProgram glGetUniformLocation glGetActiveUniform "
    // uniforms
    "glUniform1i glUniform2i glUniform3i glUniform4i glUniform1ui glUniform1f glUniform2f "
    "glUniform3f glUniform4f glUniform1fv glUniform2fv glUniform3fv glUniform4fv glUniform1iv "
    "glUniformMatrix3fv glUniformMatrix4fv glGetUniformBlockIndex glUniformBlockBinding "
    // compute
    "glDispatchCompute glMemoryBarrier "
    // buffers
    "glCreateBuffers glDeleteBuffers glBindBuffer glBindBufferBase glBindBufferRange "
    "glNamedBufferData glNamedBufferStorage glNamedBufferSubData glMapNamedBufferRange "
    "glUnmapNamedBuffer glFlushMappedNamedBufferRange glCopyNamedBufferSubData "
    // vertex arrays
    "glCreateVertexArrays glDeleteVertexArrays glBindVertexArray glEnableVertexArrayAttrib "
    "glDisableVertexArrayAttrib glVertexArrayAttribFormat glVertexArrayAttribIFormat "
    "glVertexArrayAttribBinding glVertexArrayVertexBuffer glVertexArrayElementBuffer "
    "glVertexArrayBindingDivisor "
    // draws
    "glDrawArrays glDrawElements glDrawElementsBaseVertex glDrawArraysInstanced "
    "glDrawElementsInstanced glDrawArraysInstancedBaseInstance glMultiDrawElementsIndirect "
    "glMultiDrawArraysIndirect "
    // textures and samplers
    "glCreateTextures glDeleteTextures glBindTexture glActiveTexture glBindTextureUnit "
    "glTextureStorage2D glTextureStorage3D glTextureSubImage2D glTextureSubImage3D "
    "glTextureParameteri glTextureParameterf glTextureParameterfv glTextureParameteriv "
    "glGetTextureParameteriv glGenerateTextureMipmap glGetTextureImage glCreateSamplers "
    "glDeleteSamplers glBindSampler glSamplerParameteri glSamplerParameterf glSamplerParameterfv "
    // framebuffers and renderbuffers
    "glCreateFramebuffers glDeleteFramebuffers glBindFramebuffer glNamedFramebufferTexture "
    "glNamedFramebufferTextureLayer glNamedFramebufferDrawBuffer glNamedFramebufferDrawBuffers "
    "glNamedFramebufferReadBuffer glCheckNamedFramebufferStatus glBlitNamedFramebuffer "
    "glClearNamedFramebufferfv glClearNamedFramebufferfi glCreateRenderbuffers "
    "glDeleteRenderbuffers glNamedRenderbufferStorage glNamedRenderbufferStorageMultisample "
    "glNamedFramebufferRenderbuffer "
    // debug
    "glDebugMessageCallback glDebugMessageControl glObjectLabel glPushDebugGroup glPopDebugGroup "
    // queries and sync
    "glCreateQueries glDeleteQueries glBeginQuery glEndQuery glQueryCounter glGetQueryObjectiv "
    "glGetQueryObjectui64v glFenceSync glClientWaitSync glDeleteSync "
    // further OpenGL 4.5 functions
    "glClipControl glBlendColor glTextureBarrier glInvalidateTexImage "
    "glInvalidateNamedFramebufferData glBindImageTexture glClearTexImage glGenerateMipmap "
    "glDrawBuffers glGetTextureSubImage ";

std::vector<std::string> splitNames(const char* list) {
    std::vector<std::string> names;
    std::istringstream in(list);
    for (std::string name; in >> name;)
        names.push_back(name);
    return names;
}

const std::vector<std::string> kEntryPointNames = splitNames(kEntryPointList);

using test::LogLine;

// The log opened in a fresh temporary folder and read back line by line.
class LogCapture : public test::LogFolder {
  public:
    LogCapture() : LogFolder("gl_test-") {}
};

// A loader that answers from a script: every name gets its own fake address unless it is listed
// as missing. It records the names asked for and how many log lines existed at each lookup.
struct ScriptedLoader {
    std::set<std::string> missing;
    std::vector<std::string> asked;
    std::map<std::string, GlProc> answers;
    const LogCapture* log = nullptr;
    std::size_t mostLinesDuringLookups = 0;
};
ScriptedLoader* scripted = nullptr;

GlProc scriptedLookup(const char* name) {
    scripted->asked.push_back(name);
    if (scripted->log != nullptr)
        scripted->mostLinesDuringLookups =
            std::max(scripted->mostLinesDuringLookups, scripted->log->lines().size());
    if (scripted->missing.count(name) != 0) return nullptr;
    // Never called: only compared with what the pointer holds afterwards.
    const GlProc address =
        reinterpret_cast<GlProc>(static_cast<std::uintptr_t>(0x1000 + 16 * scripted->asked.size()));
    scripted->answers[name] = address;
    return address;
}

// Name and current value of every entry point pointer, through the header's own list.
std::vector<std::pair<std::string, GlProc>> currentPointers() {
    std::vector<std::pair<std::string, GlProc>> pointers;
#define QV_GL_COLLECT(type, name) pointers.emplace_back(#name, reinterpret_cast<GlProc>(name));
    QV_GL_ENTRY_POINTS(QV_GL_COLLECT)
#undef QV_GL_COLLECT
    return pointers;
}

std::vector<LogLine> warningsFor(const std::vector<std::string>& names) {
    std::vector<LogLine> lines;
    for (const std::string& name : names)
        lines.push_back({"warn", "GL function not available: " + name});
    return lines;
}

int loadScripted(ScriptedLoader& loader) {
    scripted = &loader;
    const int result = loadGlFunctions(scriptedLookup);
    scripted = nullptr;
    return result;
}

TEST(GlEntryPoints, EveryNameMissingLeavesEveryPointerNullAndWarnsInListOrder) {
    LogCapture log;
    ScriptedLoader loader;
    loader.missing.insert(kEntryPointNames.begin(), kEntryPointNames.end());

    ASSERT_EQ(kEntryPointNames.size(), 163u);
    EXPECT_EQ(loadScripted(loader), 163);
    EXPECT_EQ(loader.asked, kEntryPointNames);
    for (const auto& [name, pointer] : currentPointers())
        EXPECT_EQ(pointer, nullptr) << name;
    EXPECT_EQ(log.lines(), warningsFor(kEntryPointNames));
}

TEST(GlEntryPoints, EveryNameSuppliedStoresEachAnswerSilently) {
    LogCapture log;
    ScriptedLoader loader;

    EXPECT_EQ(loadScripted(loader), 0);
    EXPECT_EQ(loader.asked, kEntryPointNames);
    const auto pointers = currentPointers();
    ASSERT_EQ(pointers.size(), kEntryPointNames.size());
    for (std::size_t i = 0; i < pointers.size(); ++i) {
        EXPECT_EQ(pointers[i].first, kEntryPointNames[i]);
        EXPECT_EQ(pointers[i].second, loader.answers[pointers[i].first]) << pointers[i].first;
    }
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(GlEntryPoints, ReloadWithTwoMissingNullsThemAndWarnsAfterAllLookups) {
    ScriptedLoader full;
    loadScripted(full);

    LogCapture log;
    ScriptedLoader loader;
    loader.missing = {"glClipControl", "glEnable"};
    loader.log = &log;

    EXPECT_EQ(loadScripted(loader), 2);
    EXPECT_EQ(loader.asked, kEntryPointNames); // one lookup each: no retries, no suffixed names
    EXPECT_EQ(loader.mostLinesDuringLookups, 0u);
    EXPECT_EQ(log.lines(), warningsFor({"glEnable", "glClipControl"}));
    EXPECT_EQ(glEnable, nullptr);
    EXPECT_EQ(glClipControl, nullptr);
    for (const auto& [name, pointer] : currentPointers()) {
        if (!loader.missing.count(name)) {
            EXPECT_EQ(pointer, loader.answers[name]) << name;
        }
    }
}

TEST(GlErrorName, NamesTheFiveErrorsAndNothingElse) {
    const std::pair<unsigned, const char*> cases[] = {
        {0x0500, "GL_INVALID_ENUM"},
        {0x0501, "GL_INVALID_VALUE"},
        {0x0502, "GL_INVALID_OPERATION"},
        {0x0505, "GL_OUT_OF_MEMORY"},
        {0x0506, "GL_INVALID_FRAMEBUFFER_OPERATION"},
        {0x0503, "GL_UNKNOWN_ERROR"},
        {0x0504, "GL_UNKNOWN_ERROR"},
        {0, "GL_UNKNOWN_ERROR"},
        {0x0507, "GL_UNKNOWN_ERROR"},
        {0xFFFFFFFF, "GL_UNKNOWN_ERROR"},
    };
    for (const auto& [code, name] : cases)
        EXPECT_STREQ(glErrorName(code), name) << std::hex << code;
}

// A scripted OpenGL error queue behind glGetError.
std::deque<GLenum> pendingErrors;
int errorReads = 0;

GLenum APIENTRY scriptedGetError() {
    ++errorReads;
    if (pendingErrors.empty()) return GL_NO_ERROR;
    const GLenum error = pendingErrors.front();
    pendingErrors.pop_front();
    return error;
}

TEST(CheckGlError, LogsAtMostEightErrorsAndLeavesTheRestPending) {
    LogCapture log;
    glGetError = scriptedGetError;
    pendingErrors = {GL_INVALID_ENUM,  GL_INVALID_VALUE, GL_INVALID_OPERATION,
                     GL_OUT_OF_MEMORY, 0x0503,           GL_INVALID_FRAMEBUFFER_OPERATION,
                     GL_INVALID_ENUM,  GL_INVALID_ENUM,  GL_INVALID_VALUE};
    errorReads = 0;

    checkGlError("frame");
    EXPECT_EQ(errorReads, 8);
    EXPECT_THAT(pendingErrors, ElementsAre(GL_INVALID_VALUE));
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{
                  {"error", "GL error at frame: GL_INVALID_ENUM (0x500)"},
                  {"error", "GL error at frame: GL_INVALID_VALUE (0x501)"},
                  {"error", "GL error at frame: GL_INVALID_OPERATION (0x502)"},
                  {"error", "GL error at frame: GL_OUT_OF_MEMORY (0x505)"},
                  {"error", "GL error at frame: GL_UNKNOWN_ERROR (0x503)"},
                  {"error", "GL error at frame: GL_INVALID_FRAMEBUFFER_OPERATION (0x506)"},
                  {"error", "GL error at frame: GL_INVALID_ENUM (0x500)"},
                  {"error", "GL error at frame: GL_INVALID_ENUM (0x500)"},
              }));

    // The next check picks up the one left and stops at the empty queue.
    errorReads = 0;
    checkGlError("next");
    EXPECT_EQ(errorReads, 2);
    EXPECT_EQ(log.lines().back(), (LogLine{"error", "GL error at next: GL_INVALID_VALUE (0x501)"}));
    EXPECT_EQ(log.lines().size(), 9u);

    // Without the entry point there is nothing to read.
    glGetError = nullptr;
    checkGlError("unloaded");
    EXPECT_EQ(log.lines().size(), 9u);
}

// Records the calls enableGlDebugOutput makes, in order.
std::vector<std::string> debugCalls;

void APIENTRY recordEnable(GLenum cap) {
    debugCalls.push_back("enable " + std::to_string(cap));
}
void APIENTRY recordCallback(GLDEBUGPROC callback, const void* user) {
    debugCalls.push_back(std::string("callback ") +
                         (callback == &glDebugCallback ? "glDebugCallback" : "other") +
                         (user == nullptr ? " null" : " user"));
}
void APIENTRY recordControl(GLenum source, GLenum type, GLenum severity, GLsizei count,
                            const GLuint* ids, GLboolean enabled) {
    debugCalls.push_back("control " + std::to_string(source) + " " + std::to_string(type) + " " +
                         std::to_string(severity) + " " + std::to_string(count) +
                         (ids == nullptr ? " null " : " ids ") + std::to_string(enabled));
}

TEST(EnableGlDebugOutput, InstallsTheCallbackOnlyWhereTheEntryPointsExist) {
    const std::string enableOutput = "enable " + std::to_string(GL_DEBUG_OUTPUT);
    const std::string enableSync = "enable " + std::to_string(GL_DEBUG_OUTPUT_SYNCHRONOUS);
    const std::string callback = "callback glDebugCallback null";
    const std::string control = "control 4352 4352 33387 0 null 0"; // GL_DONT_CARE, notifications
    struct Case {
        PFNGLENABLEPROC enable;
        PFNGLDEBUGMESSAGECALLBACKPROC callback;
        PFNGLDEBUGMESSAGECONTROLPROC control;
        std::vector<std::string> calls;
    } cases[] = {
        {recordEnable,
         recordCallback,
         recordControl,
         {enableOutput, enableSync, callback, control}},
        {recordEnable, recordCallback, nullptr, {enableOutput, enableSync, callback}},
        {recordEnable, nullptr, recordControl, {}},
        {nullptr, recordCallback, recordControl, {}},
    };
    for (const Case& c : cases) {
        glEnable = c.enable;
        glDebugMessageCallback = c.callback;
        glDebugMessageControl = c.control;
        debugCalls.clear();
        enableGlDebugOutput();
        EXPECT_EQ(debugCalls, c.calls);
    }
    glEnable = nullptr;
    glDebugMessageCallback = nullptr;
    glDebugMessageControl = nullptr;
}

TEST(GlDebugCallback, ErrorsAndHighSeverityAreErrorsNotificationsAreDropped) {
    struct Case {
        GLenum type;
        GLenum severity;
        const char* level; // null: nothing logged
    } cases[] = {
        {GL_DEBUG_TYPE_ERROR, GL_DEBUG_SEVERITY_NOTIFICATION, nullptr},
        {GL_DEBUG_TYPE_OTHER, GL_DEBUG_SEVERITY_NOTIFICATION, nullptr},
        {GL_DEBUG_TYPE_PERFORMANCE, GL_DEBUG_SEVERITY_MEDIUM, "warn"},
        {GL_DEBUG_TYPE_PORTABILITY, GL_DEBUG_SEVERITY_LOW, "warn"},
        {GL_DEBUG_TYPE_ERROR, GL_DEBUG_SEVERITY_LOW, "error"},
        {GL_DEBUG_TYPE_OTHER, GL_DEBUG_SEVERITY_HIGH, "error"},
        {GL_DEBUG_TYPE_PERFORMANCE, GL_DEBUG_SEVERITY_HIGH, "error"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        // Source, id, length and the user parameter play no part.
        glDebugCallback(GL_DEBUG_SOURCE_API, c.type, 7, c.severity, 3, "something happened", &c);
        if (c.level == nullptr) {
            EXPECT_THAT(log.lines(), IsEmpty()) << std::hex << c.type;
        } else {
            EXPECT_EQ(log.lines(), (std::vector<LogLine>{{c.level, "[GL] something happened"}}))
                << std::hex << c.type << " " << c.severity;
        }
    }
}

// A hidden window with the OpenGL 4.5 core context the launcher asks for, from Mesa under Xvfb;
// each test gets its own window and context.
class OpenGlContext : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "DISPLAY is not set: no X server for an OpenGL context";
        ASSERT_TRUE(test::startGlfwOnce()) << "GLFW could not start on " << std::getenv("DISPLAY");
        window_ = test::openHiddenGlWindow("gl_test");
        ASSERT_NE(window_, nullptr) << "no OpenGL 4.5 core context";
    }
    void TearDown() override { test::closeGlWindow(window_); }

    GLFWwindow* window_ = nullptr;
};

TEST_F(OpenGlContext, MesaSuppliesEveryEntryPointAndTheyWork) {
    LogCapture log;
    EXPECT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
    EXPECT_THAT(log.lines(), IsEmpty());
    for (const auto& [name, pointer] : currentPointers())
        EXPECT_NE(pointer, nullptr) << name;

    // Calls through the loaded pointers reach the context: clear an offscreen target and read
    // the colour back.
    GLuint framebuffer = 0, renderbuffer = 0;
    glCreateFramebuffers(1, &framebuffer);
    glCreateRenderbuffers(1, &renderbuffer);
    glNamedRenderbufferStorage(renderbuffer, GL_RGBA8, 4, 4);
    glNamedFramebufferRenderbuffer(framebuffer, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                   renderbuffer);
    ASSERT_EQ(glCheckNamedFramebufferStatus(framebuffer, GL_FRAMEBUFFER),
              static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    const GLfloat orange[4] = {1.0f, 0.5f, 0.0f, 1.0f};
    glClearNamedFramebufferfv(framebuffer, GL_COLOR, 0, orange);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    std::uint8_t pixel[4] = {};
    glReadPixels(1, 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_THAT(pixel, ElementsAre(255, ::testing::AnyOf(127, 128), 0, 255));
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glDeleteRenderbuffers(1, &renderbuffer);
    glDeleteFramebuffers(1, &framebuffer);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(OpenGlContext, DebugOutputAndErrorChecksReachTheLog) {
    ASSERT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
    // Not among the launcher's entry points: only the test inserts messages and queries state.
    const auto insert =
        reinterpret_cast<PFNGLDEBUGMESSAGEINSERTPROC>(glfwGetProcAddress("glDebugMessageInsert"));
    const auto isEnabled = reinterpret_cast<PFNGLISENABLEDPROC>(glfwGetProcAddress("glIsEnabled"));
    ASSERT_NE(insert, nullptr);
    ASSERT_NE(isEnabled, nullptr);

    LogCapture log;
    enableGlDebugOutput();
    EXPECT_TRUE(isEnabled(GL_DEBUG_OUTPUT));
    EXPECT_TRUE(isEnabled(GL_DEBUG_OUTPUT_SYNCHRONOUS));

    // Synchronous delivery: each message is in the log when the call that raised it returns.
    const auto send = [&](GLenum type, GLenum severity, const char* text) {
        insert(GL_DEBUG_SOURCE_APPLICATION, type, 1, severity, -1, text);
        return log.lines();
    };
    EXPECT_EQ(send(GL_DEBUG_TYPE_PERFORMANCE, GL_DEBUG_SEVERITY_MEDIUM, "slow path"),
              (std::vector<LogLine>{{"warn", "[GL] slow path"}}));
    EXPECT_EQ(send(GL_DEBUG_TYPE_OTHER, GL_DEBUG_SEVERITY_NOTIFICATION, "just saying").size(), 1u);
    EXPECT_EQ(send(GL_DEBUG_TYPE_OTHER, GL_DEBUG_SEVERITY_HIGH, "bad news").back(),
              (LogLine{"error", "[GL] bad news"}));

    // A real error: the context's own message through the callback, then the error drain.
    glEnable(0x1234);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].level, "error");
    EXPECT_EQ(lines[2].message.rfind("[GL] ", 0), 0u) << lines[2].message;
    checkGlError("test");
    lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], (LogLine{"error", "GL error at test: GL_INVALID_ENUM (0x500)"}));
    checkGlError("again");
    EXPECT_EQ(log.lines().size(), 4u);

    glDebugMessageCallback(nullptr, nullptr);
}

} // namespace
} // namespace qv::launcher
