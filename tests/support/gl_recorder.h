// The OpenGL entry points that the UI renderer's flush, clipping and frame bracket reach, replaced
// by ones that record instead of drawing: what each draw call would draw (the vertices, with the
// clip rectangle in force) and nothing else. So code that draws through a UiRenderer runs, and is
// checked, without an OpenGL context. The previous pointers come back when the recorder goes.
#pragma once

#include "app/ui_renderer.h"
#include "base/gl.h"

#include <cstring>
#include <vector>

namespace qv::launcher::test {

class GlRecorder {
  public:
    // One vertex as drawn, with whether a clip was in force and its rectangle (framebuffer pixels,
    // rows from the bottom).
    struct Drawn {
        UiVertex vertex;
        bool clipped;
        int clip[4];
    };

    GlRecorder() {
        saved_ = {glEnable,     glDisable,   glScissor,         glNamedBufferData,
                  glUseProgram, glUniform2f, glBindTextureUnit, glBindVertexArray,
                  glDrawArrays, glViewport,  glBlendFunc,       glClearColor,
                  glClear};
        drawn().clear();
        uploaded().clear();
        scissor() = false;
        glEnable = [](GLenum cap) { scissor() = scissor() || cap == GL_SCISSOR_TEST; };
        glDisable = [](GLenum cap) { scissor() = scissor() && cap != GL_SCISSOR_TEST; };
        glScissor = [](GLint x, GLint y, GLsizei w, GLsizei h) {
            int* c = clipRect();
            c[0] = x, c[1] = y, c[2] = w, c[3] = h;
        };
        glNamedBufferData = [](GLuint, GLsizeiptr size, const void* data, GLenum) {
            uploaded().resize(static_cast<std::size_t>(size) / sizeof(UiVertex));
            std::memcpy(uploaded().data(), data, static_cast<std::size_t>(size));
        };
        glDrawArrays = [](GLenum, GLint first, GLsizei count) {
            for (GLsizei i = 0; i < count; ++i) {
                Drawn d{uploaded()[static_cast<std::size_t>(first + i)], scissor(), {}};
                std::memcpy(d.clip, clipRect(), sizeof d.clip);
                drawn().push_back(d);
            }
        };
        glUseProgram = [](GLuint) {};
        glUniform2f = [](GLint, GLfloat, GLfloat) {};
        glBindTextureUnit = [](GLuint, GLuint) {};
        glBindVertexArray = [](GLuint) {};
        glViewport = [](GLint, GLint, GLsizei, GLsizei) {};
        glBlendFunc = [](GLenum, GLenum) {};
        glClearColor = [](GLfloat, GLfloat, GLfloat, GLfloat) {};
        glClear = [](GLbitfield) {};
    }
    ~GlRecorder() {
        glEnable = saved_.enable, glDisable = saved_.disable, glScissor = saved_.scissor;
        glNamedBufferData = saved_.bufferData, glUseProgram = saved_.useProgram;
        glUniform2f = saved_.uniform2f, glBindTextureUnit = saved_.bindTexture;
        glBindVertexArray = saved_.bindVertexArray, glDrawArrays = saved_.drawArrays;
        glViewport = saved_.viewport, glBlendFunc = saved_.blendFunc;
        glClearColor = saved_.clearColor, glClear = saved_.clear;
    }
    GlRecorder(const GlRecorder&) = delete;
    GlRecorder& operator=(const GlRecorder&) = delete;

    // Everything drawn since the recorder came, in order.
    static std::vector<Drawn>& drawn() {
        static std::vector<Drawn> vertices;
        return vertices;
    }
    static void clear() { drawn().clear(); }

  private:
    static std::vector<UiVertex>& uploaded() {
        static std::vector<UiVertex> buffer;
        return buffer;
    }
    static bool& scissor() {
        static bool on = false;
        return on;
    }
    static int* clipRect() {
        static int rect[4] = {};
        return rect;
    }

    struct {
        PFNGLENABLEPROC enable;
        PFNGLDISABLEPROC disable;
        PFNGLSCISSORPROC scissor;
        PFNGLNAMEDBUFFERDATAPROC bufferData;
        PFNGLUSEPROGRAMPROC useProgram;
        PFNGLUNIFORM2FPROC uniform2f;
        PFNGLBINDTEXTUREUNITPROC bindTexture;
        PFNGLBINDVERTEXARRAYPROC bindVertexArray;
        PFNGLDRAWARRAYSPROC drawArrays;
        PFNGLVIEWPORTPROC viewport;
        PFNGLBLENDFUNCPROC blendFunc;
        PFNGLCLEARCOLORPROC clearColor;
        PFNGLCLEARPROC clear;
    } saved_;
};

} // namespace qv::launcher::test
