// The launcher's immediate-mode renderer: every frame the screen is built anew as coloured
// triangles in one batch in main memory (see ui_draw.h for the shapes and text that fill it), and
// the batch is drawn with one shader program, one vertex buffer and the font atlas texture.
//
// The batch is a plain vector that the shapes append to; filling it needs no OpenGL context. Only
// init, destroy, beginFrame, flush (of a non-empty batch), endFrame, setClip and clearClip call
// OpenGL, through the entry points of base/gl.h, on the thread whose context is current.
#pragma once

#include "base/gl.h"

#include <vector>

namespace qv::launcher {

// One vertex, also the vertex buffer's format: nine tightly packed floats.
struct UiVertex {
    float x, y;       // position in logical window units, origin top left, y downwards
    float u, v;       // atlas coordinate (mode 1), disc coordinate -1..1 (mode 2), 0 (mode 0)
    float r, g, b, a; // colour, straight alpha
    float mode;       // 0 flat colour, 1 font atlas coverage, 2 soft disc
};
static_assert(sizeof(UiVertex) == 36, "UiVertex must be nine packed floats");

// The font atlas: glyph g in the cell at column (g mod 16) * 6, row (g div 16) * 9.
inline constexpr int uiAtlasWidth = 96;
inline constexpr int uiAtlasHeight = 90;

// Compiles one shader from a NUL-terminated source; logs the compiler's info log when it fails.
// Returns the handle, compiled or not.
GLuint compileShader(GLenum type, const char* source);

// No destructor touches OpenGL: the owner calls init and destroy while the context is current.
struct UiRenderer {
    std::vector<UiVertex> vertices; // the batch, three vertices per triangle
    GLuint program = 0;
    GLuint vao = 0;
    GLuint vbo = 0;
    GLuint fontTexture = 0;
    GLint uScreenLoc = -1;
    float width = 1.0f; // the frame's size in screen units: the framebuffer's over the scale
    float height = 1.0f;
    int fbWidth = 1; // framebuffer size in pixels of the current frame, at least 1
    int fbHeight = 1;
    float pixelsPerUnit = 1.0f; // framebuffer pixels per screen unit (the display's scale)

    // Builds the program, the vertex array and buffer and the font atlas. False (and logged) when
    // the program did not link; nothing else is made then.
    bool init();
    // Deletes what init made (each object only when it exists) and zeroes the handles.
    void destroy();
    // Starts a frame on a framebuffer of the given pixels, pixelsPerUnit of them to a screen
    // unit: stores the sizes (values below 1 become 1; a scale that is no positive number, 1),
    // empties the batch, sets the viewport and blending and clears the framebuffer.
    void beginFrame(int framebufferWidth, int framebufferHeight, float framePixelsPerUnit);
    // Uploads and draws the batch in one draw call, then empties it. An empty batch costs no
    // OpenGL call at all.
    void flush();
    // Draws what is batched and switches the clip off.
    void endFrame();
    // Draws what is batched so far, then clips what follows to the rectangle (logical units,
    // top left corner and size). A second call replaces the first; there is no stack.
    void setClip(float x, float y, float w, float h);
    // Draws what was batched inside the clip and switches the clip off.
    void clearClip();
};

} // namespace qv::launcher
