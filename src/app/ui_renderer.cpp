#include "app/ui_renderer.h"

#include "app/display_scale.h"

#include "base/font.h"
#include "base/log.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::launcher {

namespace {

const char* const kVertexShader = R"(#version 450 core
layout(location = 0) in vec2 aPos;
layout(location = 1) in vec2 aUv;
layout(location = 2) in vec4 aColor;
layout(location = 3) in float aMode;
uniform vec2 uScreen;
out vec2 vUv;
out vec4 vColor;
flat out int vMode;
void main() {
    vec2 ndc = aPos / uScreen * 2.0 - 1.0;
    gl_Position = vec4(ndc.x, -ndc.y, 0.0, 1.0);
    vUv = aUv;
    vColor = aColor;
    vMode = int(aMode + 0.5);
}
)";

// Mode 1 takes its coverage from the font atlas, mode 2 is a disc that fades quadratically to its
// rim; everything else is a flat colour. Fully transparent fragments are dropped, so glyph quads
// and the corners of glows leave what lies under them untouched.
const char* const kFragmentShader = R"(#version 450 core
in vec2 vUv;
in vec4 vColor;
flat in int vMode;
layout(binding = 0) uniform sampler2D uFont;
layout(location = 0) out vec4 oColor;
void main() {
    float a = 1.0;
    if (vMode == 1) {
        a = texture(uFont, vUv).r;
    } else if (vMode == 2) {
        float d = length(vUv);
        a = clamp(1.0 - d, 0.0, 1.0);
        a = a * a;
    }
    oColor = vec4(vColor.rgb, vColor.a * a);
    if (oColor.a <= 0.0) discard;
}
)";

struct AttributeLayout {
    GLuint location;
    GLint components;
    GLuint offset;
};

const AttributeLayout kAttributes[] = {
    {0, 2, offsetof(UiVertex, x)},
    {1, 2, offsetof(UiVertex, u)},
    {2, 4, offsetof(UiVertex, r)},
    {3, 1, offsetof(UiVertex, mode)},
};

// The 5 by 8 glyphs in cells of 6 by 9 texels, 16 cells to a row, one byte per texel.
std::vector<std::uint8_t> buildAtlas() {
    std::vector<std::uint8_t> image(std::size_t(uiAtlasWidth) * uiAtlasHeight, 0);
    for (int g = 0; g < fontGlyphCount; ++g) {
        const int cellX = (g % 16) * 6;
        const int cellY = (g / 16) * 9;
        for (int row = 0; row < fontGlyphHeight; ++row) {
            const std::uint8_t bits = fontGlyphs[g * fontGlyphHeight + row];
            for (int col = 0; col < fontGlyphWidth; ++col) {
                if (bits & (0x10 >> col))
                    image[std::size_t(cellY + row) * uiAtlasWidth + cellX + col] = 255;
            }
        }
    }
    return image;
}

// A scissor value in whole pixels. A clip far outside the window (or a nonsensical one) must not
// turn into an out-of-range float-to-int conversion, and a negative size would be refused by
// OpenGL and leave the previous clip in force, so sizes stop at 0.
GLint scissorValue(float v, float low) {
    const float limit = 1073741824.0f; // 2^30, far beyond any framebuffer
    if (!(v >= low)) return static_cast<GLint>(low);
    if (v > limit) return static_cast<GLint>(limit);
    return static_cast<GLint>(v);
}

} // namespace

GLuint compileShader(GLenum type, const char* source) {
    const GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok == 0) {
        char info[1024] = {};
        glGetShaderInfoLog(shader, sizeof info, nullptr, info);
        logError("launcher shader: %s", info);
    }
    return shader;
}

bool UiRenderer::init() {
    const GLuint vertexShader = compileShader(GL_VERTEX_SHADER, kVertexShader);
    const GLuint fragmentShader = compileShader(GL_FRAGMENT_SHADER, kFragmentShader);
    program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    GLint linked = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked == 0) {
        logError("launcher: shader did not link");
        return false;
    }
    uScreenLoc = glGetUniformLocation(program, "uScreen");

    glCreateBuffers(1, &vbo);
    glCreateVertexArrays(1, &vao);
    glVertexArrayVertexBuffer(vao, 0, vbo, 0, sizeof(UiVertex));
    for (const AttributeLayout& attribute : kAttributes) {
        glEnableVertexArrayAttrib(vao, attribute.location);
        glVertexArrayAttribFormat(vao, attribute.location, attribute.components, GL_FLOAT, GL_FALSE,
                                  attribute.offset);
        glVertexArrayAttribBinding(vao, attribute.location, 0);
    }

    const std::vector<std::uint8_t> atlas = buildAtlas();
    glCreateTextures(GL_TEXTURE_2D, 1, &fontTexture);
    glTextureStorage2D(fontTexture, 1, GL_R8, uiAtlasWidth, uiAtlasHeight);
    // Rows of 96 single bytes; left at 1 for every later upload and read-back too.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTextureSubImage2D(fontTexture, 0, 0, 0, uiAtlasWidth, uiAtlasHeight, GL_RED, GL_UNSIGNED_BYTE,
                        atlas.data());
    glTextureParameteri(fontTexture, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTextureParameteri(fontTexture, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return true;
}

void UiRenderer::destroy() {
    if (fontTexture != 0) glDeleteTextures(1, &fontTexture);
    if (vbo != 0) glDeleteBuffers(1, &vbo);
    if (vao != 0) glDeleteVertexArrays(1, &vao);
    if (program != 0) glDeleteProgram(program);
    fontTexture = 0;
    vbo = 0;
    vao = 0;
    program = 0;
}

void UiRenderer::beginFrame(int framebufferWidth, int framebufferHeight, float framePixelsPerUnit) {
    // A minimised window reports 0; the shader and the clip divide by these sizes.
    fbWidth = framebufferWidth < 1 ? 1 : framebufferWidth;
    fbHeight = framebufferHeight < 1 ? 1 : framebufferHeight;
    pixelsPerUnit = usableContentScale(framePixelsPerUnit);
    width = static_cast<float>(fbWidth) / pixelsPerUnit;
    height = static_cast<float>(fbHeight) / pixelsPerUnit;
    vertices.clear(); // keeps the capacity, so a steady screen allocates nothing per frame

    glViewport(0, 0, fbWidth, fbHeight);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(0.02f, 0.018f, 0.022f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void UiRenderer::flush() {
    if (vertices.empty()) return;
    glNamedBufferData(vbo, static_cast<GLsizeiptr>(vertices.size() * sizeof(UiVertex)),
                      vertices.data(), GL_STREAM_DRAW);
    glUseProgram(program);
    glUniform2f(uScreenLoc, width, height);
    glBindTextureUnit(0, fontTexture);
    glBindVertexArray(vao);
    glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(vertices.size()));
    vertices.clear();
}

void UiRenderer::endFrame() {
    flush();
    glDisable(GL_SCISSOR_TEST);
}

void UiRenderer::setClip(float x, float y, float w, float h) {
    flush();
    const float sx = pixelsPerUnit;
    const float sy = pixelsPerUnit;
    glEnable(GL_SCISSOR_TEST);
    // OpenGL counts rows from the bottom; the origin rounds down and the size up, so the clip
    // never cuts off a partly covered pixel.
    const float low = -1073741824.0f;
    glScissor(scissorValue(std::floor(x * sx), low),
              scissorValue(std::floor((height - (y + h)) * sy), low),
              scissorValue(std::ceil(w * sx), 0.0f), scissorValue(std::ceil(h * sy), 0.0f));
}

void UiRenderer::clearClip() {
    flush();
    glDisable(GL_SCISSOR_TEST);
}

} // namespace qv::launcher
