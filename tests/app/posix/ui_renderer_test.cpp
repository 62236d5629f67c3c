// The renderer against a real OpenGL 4.5 core context (Mesa under Xvfb): the font atlas read back,
// the scissor rectangles of the clip, the OpenGL calls a frame makes, and frames of known shapes
// read back pixel by pixel. Drawing goes into a framebuffer object of the test's own, so the
// hidden window's own pixels never matter.

#include "app/palette.h"
#include "app/ui_draw.h"
#include "app/ui_input.h"
#include "app/ui_renderer.h"
#include "app/widgets.h"
#include "base/font.h"
#include "base/gl.h"
#include "base/png.h"
#include "base/text.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../../support/gl_context.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;
using Rgb = std::array<int, 3>;

// What beginFrame clears to, as 8-bit values.
const Rgb kBackground = {5, 5, 6};
const Rgb kWhite = {255, 255, 255};
const Rgb kRed = {255, 0, 0};

// Counts the calls a flush makes by standing in for three entry points, forwarding to the real
// ones; the real pointers come back when the counter goes.
struct GlCallCounter {
    static inline int uploads = 0;
    static inline int programBinds = 0;
    static inline int draws = 0;
    static inline PFNGLNAMEDBUFFERDATAPROC realUpload = nullptr;
    static inline PFNGLUSEPROGRAMPROC realUseProgram = nullptr;
    static inline PFNGLDRAWARRAYSPROC realDraw = nullptr;

    static void APIENTRY upload(GLuint buffer, GLsizeiptr size, const void* data, GLenum usage) {
        ++uploads;
        realUpload(buffer, size, data, usage);
    }
    static void APIENTRY useProgram(GLuint program) {
        ++programBinds;
        realUseProgram(program);
    }
    static void APIENTRY draw(GLenum mode, GLint first, GLsizei count) {
        ++draws;
        realDraw(mode, first, count);
    }

    GlCallCounter() {
        uploads = programBinds = draws = 0;
        realUpload = glNamedBufferData;
        realUseProgram = glUseProgram;
        realDraw = glDrawArrays;
        glNamedBufferData = &upload;
        glUseProgram = &useProgram;
        glDrawArrays = &draw;
    }
    ~GlCallCounter() {
        glNamedBufferData = realUpload;
        glUseProgram = realUseProgram;
        glDrawArrays = realDraw;
    }
};

// Mesa's DRI driver, like its GLX library, keeps what it allocates (it caches what it compiles
// for a draw) for the life of the process; unloading it when the last context goes would make
// LeakSanitizer report that memory, so it stays loaded too.
int keepDriverLoaded(dl_phdr_info* info, std::size_t, void*) {
    const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (name.find("_dri.so") != std::string::npos || name.find("libgallium") != std::string::npos)
        dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    return 0;
}

class OpenGlUiRenderer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "DISPLAY is not set: no X server for an OpenGL context";
        ASSERT_TRUE(test::startGlfwOnce()) << "GLFW could not start";
        window_ = test::openHiddenGlWindow("ui_renderer_test");
        ASSERT_NE(window_, nullptr) << "no OpenGL 4.5 core context";
        ASSERT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
        dl_iterate_phdr(&keepDriverLoaded, nullptr);
    }

    void TearDown() override {
        if (window_ == nullptr) return;
        if (fbo_ != 0) glDeleteFramebuffers(1, &fbo_);
        if (colour_ != 0) glDeleteRenderbuffers(1, &colour_);
        test::closeGlWindow(window_);
    }

    // An RGBA8 render target of the given size, bound for drawing and reading.
    void makeTarget(int width, int height) {
        targetWidth_ = width;
        targetHeight_ = height;
        glCreateRenderbuffers(1, &colour_);
        glNamedRenderbufferStorage(colour_, GL_RGBA8, width, height);
        glCreateFramebuffers(1, &fbo_);
        glNamedFramebufferRenderbuffer(fbo_, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
        ASSERT_EQ(glCheckNamedFramebufferStatus(fbo_, GL_FRAMEBUFFER),
                  GLenum(GL_FRAMEBUFFER_COMPLETE));
        glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    }

    // The target's pixels as RGB, top row first.
    std::vector<std::uint8_t> readTarget() {
        std::vector<std::uint8_t> bottomUp(std::size_t(targetWidth_) * targetHeight_ * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, targetWidth_, targetHeight_, GL_RGB, GL_UNSIGNED_BYTE, bottomUp.data());
        std::vector<std::uint8_t> topDown(bottomUp.size());
        const std::size_t row = std::size_t(targetWidth_) * 3;
        for (int y = 0; y < targetHeight_; ++y)
            std::copy_n(&bottomUp[(targetHeight_ - 1 - y) * row], row, &topDown[y * row]);
        return topDown;
    }

    Rgb pixel(const std::vector<std::uint8_t>& image, int x, int y) const {
        const std::size_t i = (std::size_t(y) * targetWidth_ + x) * 3;
        return {image[i], image[i + 1], image[i + 2]};
    }

    static std::array<GLint, 4> scissorBox() {
        std::array<GLint, 4> box{};
        glGetIntegerv(GL_SCISSOR_BOX, box.data());
        return box;
    }
    static bool scissorOn() {
        GLint on = 0;
        glGetIntegerv(GL_SCISSOR_TEST, &on);
        return on != 0;
    }

    GLFWwindow* window_ = nullptr;
    GLuint fbo_ = 0;
    GLuint colour_ = 0;
    int targetWidth_ = 0;
    int targetHeight_ = 0;
};

TEST_F(OpenGlUiRenderer, AtlasTextureHoldsEveryGlyphInItsCell) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    std::vector<std::uint8_t> atlas(uiAtlasWidth * uiAtlasHeight, 0x77);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTextureImage(ui.fontTexture, 0, GL_RED, GL_UNSIGNED_BYTE, GLsizei(atlas.size()),
                      atlas.data());
    int inked = 0;
    for (int y = 0; y < uiAtlasHeight; ++y) {
        for (int x = 0; x < uiAtlasWidth; ++x) {
            const int g = (y / 9) * 16 + x / 6;
            const int col = x % 6;
            const int row = y % 9;
            bool on = false;
            if (g < fontGlyphCount && col < 5 && row < 8)
                on = (fontGlyphs[g * 8 + row] >> (4 - col)) & 1;
            inked += on;
            ASSERT_EQ(atlas[y * uiAtlasWidth + x], on ? 255 : 0) << "texel " << x << ", " << y;
        }
    }
    EXPECT_GT(inked, 1000); // the font is really there

    GLint value = 0;
    const std::pair<GLenum, GLint> parameters[] = {{GL_TEXTURE_MIN_FILTER, GL_NEAREST},
                                                   {GL_TEXTURE_MAG_FILTER, GL_NEAREST},
                                                   {GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE},
                                                   {GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE}};
    for (const auto& [name, expected] : parameters) {
        glGetTextureParameteriv(ui.fontTexture, name, &value);
        EXPECT_EQ(value, expected) << std::hex << name;
    }
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, ClipBecomesAScissorBoxInFramebufferPixelsCountedFromTheBottom) {
    struct Case {
        const char* what;
        int fbw, fbh;
        float scale;
        float x, y, cw, ch;
        std::array<GLint, 4> box;
    };
    const Case cases[] = {
        {"twice as many pixels", 2048, 1240, 2, 10.25f, 20.5f, 100.5f, 50.25f, {20, 1098, 201, 101}},
        {"the whole window", 1024, 620, 1, 0, 0, 1024, 620, {0, 0, 1024, 620}},
        {"past the window", 100, 100, 1, -10, -10, 2000, 2000, {-10, -1890, 2000, 2000}},
        {"fractional scale", 1500, 900, 1.5f, 10.1f, 0.5f, 20.1f, 599.5f, {15, 0, 31, 900}},
    };
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    for (const Case& c : cases) {
        ui.beginFrame(c.fbw, c.fbh, c.scale);
        ui.setClip(c.x, c.y, c.cw, c.ch);
        EXPECT_TRUE(scissorOn()) << c.what;
        EXPECT_EQ(scissorBox(), c.box) << c.what;
        ui.clearClip();
        EXPECT_FALSE(scissorOn()) << c.what;
        ui.setClip(c.x, c.y, c.cw, c.ch);
        ui.endFrame();
        EXPECT_FALSE(scissorOn()) << c.what;
    }

    // A second clip replaces the first; a clip of negative size clips everything away instead
    // of being refused (which would leave the previous box in force).
    ui.beginFrame(100, 100, 1);
    ui.setClip(10, 10, 20, 20);
    ui.setClip(50, 50, 10, 10);
    EXPECT_EQ(scissorBox(), (std::array<GLint, 4>{50, 40, 10, 10}));
    ui.setClip(50, 50, -10, -5);
    EXPECT_EQ(scissorBox(), (std::array<GLint, 4>{50, 55, 0, 0}));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    ui.endFrame();
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, FrameStartStoresSizesOfAtLeastOneAndSetsTheViewport) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    for (int v : {0, -5}) {
        ui.beginFrame(v, v, float(v));
        EXPECT_EQ(ui.width, 1.0f);
        EXPECT_EQ(ui.height, 1.0f);
        EXPECT_EQ(ui.pixelsPerUnit, 1.0f);
        EXPECT_EQ(ui.fbWidth, 1);
        EXPECT_EQ(ui.fbHeight, 1);
        std::array<GLint, 4> viewport{};
        glGetIntegerv(GL_VIEWPORT, viewport.data());
        EXPECT_EQ(viewport, (std::array<GLint, 4>{0, 0, 1, 1}));
        fillRect(ui, 0, 0, 1, 1, paletteGold);
        ui.setClip(0, 0, 1, 1); // divides by the stored sizes
        ui.endFrame();
    }
    ui.beginFrame(2048, 1240, 2);
    EXPECT_EQ((std::array<float, 4>{ui.width, ui.height, float(ui.fbWidth), float(ui.fbHeight)}),
              (std::array<float, 4>{1024, 620, 2048, 1240}));
    ui.beginFrame(1537, 930, 1.5f); // a window resized at 150%: fractional units
    EXPECT_FLOAT_EQ(ui.width, 1537.0f / 1.5f);
    EXPECT_FLOAT_EQ(ui.height, 620.0f);
    ui.endFrame();
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, EachFlushIsOneUploadAndOneDrawAndAnEmptyOneCostsNothing) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    {
        GlCallCounter counter;
        ui.beginFrame(64, 64, 1);
        ui.setClip(0, 0, 10, 10);
        ui.clearClip();
        ui.endFrame();
        ui.flush();
        EXPECT_EQ(counter.uploads + counter.programBinds + counter.draws, 0);

        // The launcher's frame: shapes, the clipped news, more shapes.
        ui.beginFrame(64, 64, 1);
        fillRect(ui, 0, 0, 10, 10, paletteGold);
        drawText(ui, "Hi", 2, 2, 1, paletteText);
        ui.setClip(0, 0, 32, 32);
        fillRect(ui, 0, 0, 64, 64, paletteAccent);
        ui.clearClip();
        drawGlow(ui, 32, 32, 10, paletteFlame);
        ui.endFrame();
        EXPECT_EQ(counter.uploads, 3);
        EXPECT_EQ(counter.draws, 3);
        EXPECT_TRUE(ui.vertices.empty());
    }
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    ui.destroy();
    EXPECT_EQ((std::array<GLuint, 4>{ui.program, ui.vao, ui.vbo, ui.fontTexture}),
              (std::array<GLuint, 4>{0, 0, 0, 0}));
    ui.destroy(); // nothing left to delete
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(OpenGlUiRenderer, KnownShapesReadBackExactly) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    ui.beginFrame(64, 64, 1);
    const Color red{1, 0, 0, 1};
    const Color white{1, 1, 1, 1};
    fillRect(ui, 4, 4, 10, 6, red);     // pixels x 4..13, y 4..9
    drawText(ui, "A", 20, 2, 2, white); // 10 by 16 from (20, 2)
    fillRect(ui, 40, 2, 12, 16, red);
    drawText(ui, "g", 41, 3, 1, white); // over the red: off-glyph texels discard
    drawGlow(ui, 20.5f, 40.5f, 8, white);
    ui.setClip(40.5f, 40, 10, 10); // pixels x 40..49, y 40..49
    fillRect(ui, 0, 0, 64, 64, Color{0, 1, 0, 1});
    ui.clearClip();
    fillRect(ui, 60, 60, 4, 4, Color{0, 0, 1, 1});
    ui.endFrame();
    const auto image = readTarget();

    EXPECT_EQ(pixel(image, 0, 0), kBackground);
    EXPECT_EQ(pixel(image, 4, 4), (Rgb{255, 0, 0}));
    EXPECT_EQ(pixel(image, 13, 9), (Rgb{255, 0, 0}));
    EXPECT_EQ(pixel(image, 14, 9), kBackground);
    EXPECT_EQ(pixel(image, 13, 10), kBackground);
    EXPECT_EQ(pixel(image, 3, 4), kBackground);

    // Glyph coverage: every pixel of the scaled glyph is exactly ink or exactly what lay under it.
    const auto glyphRows = [](std::uint32_t cp) { return &fontGlyphs[glyphIndex(cp) * 8]; };
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 10; ++x) {
            const bool on = (glyphRows('A')[y / 2] >> (4 - x / 2)) & 1;
            ASSERT_EQ(pixel(image, 20 + x, 2 + y), on ? kWhite : kBackground)
                << "A at " << x << ", " << y;
        }
    }
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 6; ++x) { // the sixth column is the cell's empty one
            const bool on = x < 5 && ((glyphRows('g')[y] >> (4 - x)) & 1);
            ASSERT_EQ(pixel(image, 41 + x, 3 + y), on ? kWhite : kRed) << "g at " << x << ", " << y;
        }
    }

    // The soft disc: full at the centre, a quarter at half the radius, nothing at the rim.
    EXPECT_EQ(pixel(image, 20, 40), (Rgb{255, 255, 255}));
    const Rgb quarter = pixel(image, 24, 40);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(quarter[i], 0.25 * 255 + 0.75 * kBackground[i], 1.0) << i;
    EXPECT_EQ(pixel(image, 28, 40), kBackground);
    EXPECT_EQ(pixel(image, 27, 47), kBackground); // inside the quad, outside the circle

    // The clip: its origin rounded down and its size up, each on its own; what follows
    // clearClip is not clipped.
    EXPECT_EQ(pixel(image, 40, 40), (Rgb{0, 255, 0}));
    EXPECT_EQ(pixel(image, 49, 49), (Rgb{0, 255, 0}));
    EXPECT_EQ(pixel(image, 50, 45), kBackground);
    EXPECT_EQ(pixel(image, 39, 45), kBackground);
    EXPECT_EQ(pixel(image, 45, 50), kBackground);
    EXPECT_EQ(pixel(image, 45, 39), kBackground);
    EXPECT_EQ(pixel(image, 63, 63), (Rgb{0, 0, 255}));
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, WindowUnitsAreScaledOntoALargerFramebuffer) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    ui.beginFrame(64, 64, 2);
    fillRect(ui, 4, 4, 4, 4, Color{1, 0, 0, 1}); // framebuffer pixels 8..15
    drawText(ui, "|", 16, 16, 1, Color{1, 1, 1, 1});
    ui.endFrame();
    const auto image = readTarget();
    EXPECT_EQ(pixel(image, 8, 8), (Rgb{255, 0, 0}));
    EXPECT_EQ(pixel(image, 15, 15), (Rgb{255, 0, 0}));
    EXPECT_EQ(pixel(image, 7, 8), kBackground);
    EXPECT_EQ(pixel(image, 16, 15), kBackground);
    EXPECT_EQ(pixel(image, 8, 16), kBackground);
    // A glyph pixel of one unit covers 2 by 2 framebuffer pixels.
    const std::uint8_t* bar = &fontGlyphs[glyphIndex('|') * 8];
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(pixel(image, 32 + x, 32 + y),
                      ((bar[y / 2] >> (4 - x / 2)) & 1) ? kWhite : kBackground)
                << x << ", " << y;
    ui.destroy();
}

// At 150% a font pixel of scale 2 is 3 framebuffer pixels and one of scale 3 is 4.5, drawn as
// 4: either way every framebuffer pixel of the glyph is exactly ink or exactly background, with
// no blurred or half-covered edge, and the glyph sits on the pixel its rounded corner names.
TEST_F(OpenGlUiRenderer, TextStaysCrispAtAFractionalDisplayScale) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(96, 96);
    const std::uint8_t* rows = &fontGlyphs[glyphIndex('R') * 8];
    struct Case {
        float s;
        int block;
    };
    for (const Case c : {Case{2, 3}, Case{3, 4}}) {
        ui.beginFrame(96, 96, 1.5f);
        drawText(ui, "R", 3.3f, 2.9f, c.s, Color{1, 1, 1, 1}); // corner at pixel (5, 4)
        ui.endFrame();
        const auto image = readTarget();
        for (int y = 0; y < 8 * c.block + 2; ++y) {
            for (int x = 0; x < 5 * c.block + 2; ++x) {
                const int gx = x - 1, gy = y - 1; // one pixel of margin all round
                const bool inside = gx >= 0 && gy >= 0 && gx < 5 * c.block && gy < 8 * c.block;
                const bool on =
                    inside && ((rows[gy / c.block] >> (4 - gx / c.block)) & 1);
                ASSERT_EQ(pixel(image, 4 + x, 3 + y), on ? kWhite : kBackground)
                    << "scale " << c.s << " at " << gx << ", " << gy;
            }
        }
    }
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, BatchKeepsItsStorageFromFrameToFrame) {
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(64, 64);
    const UiInput input;
    const auto frame = [&] {
        ui.beginFrame(64, 64, 1);
        fillGradient(ui, 0, 0, 64, 64, paletteShadow, palettePanel);
        for (int i = 0; i < 50; ++i)
            drawGlow(ui, float(i), float(i), 5, paletteFlame);
        button(ui, input, 4, 4, 50, 20, "PLAY", 2, true, true);
        drawNews(ui, "# News\n- one two three four five six\n**big**\nplain words here", 0, 30, 60);
        ui.endFrame();
    };
    frame();
    const std::size_t capacity = ui.vertices.capacity();
    const UiVertex* storage = ui.vertices.data();
    ASSERT_GT(capacity, 0u);
    for (int i = 0; i < 5; ++i) {
        frame();
        EXPECT_EQ(ui.vertices.capacity(), capacity);
        EXPECT_EQ(ui.vertices.data(), storage);
    }
    ui.destroy();
}

TEST_F(OpenGlUiRenderer, ShaderAndLinkFailuresAreLoggedAndInitStops) {
    testing::internal::CaptureStderr();
    const GLuint bad = compileShader(GL_FRAGMENT_SHADER, "#version 450 core\nthis is not glsl\n");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(bad, 0u);
    GLint ok = 1;
    glGetShaderiv(bad, GL_COMPILE_STATUS, &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_NE(log.find("launcher shader: "), std::string::npos) << log;
    EXPECT_GT(log.size(), std::string("launcher shader: \n").size() + 5) << log;
    glDeleteShader(bad);

    // A program that never links: glLinkProgram does nothing.
    static PFNGLLINKPROGRAMPROC realLink = glLinkProgram;
    realLink = glLinkProgram;
    glLinkProgram = [](GLuint) {};
    UiRenderer ui;
    testing::internal::CaptureStderr();
    const bool started = ui.init();
    const std::string linkLog = testing::internal::GetCapturedStderr();
    glLinkProgram = realLink;
    EXPECT_FALSE(started);
    EXPECT_NE(linkLog.find("launcher: shader did not link"), std::string::npos) << linkLog;
    EXPECT_NE(ui.program, 0u);
    EXPECT_EQ((std::array<GLuint, 3>{ui.vao, ui.vbo, ui.fontTexture}),
              (std::array<GLuint, 3>{0, 0, 0}));
    ui.destroy();
    EXPECT_EQ(ui.program, 0u);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Everything the launcher draws with, in one frame at the launcher's start size, written as a PNG.
// Set CORVANTHE_UI_SAMPLE to a file name to keep the picture for a look.
TEST_F(OpenGlUiRenderer, SampleFrameWithEveryShapeAndWidget) {
    const int w = 1024, h = 620;
    UiRenderer ui;
    ASSERT_TRUE(ui.init());
    makeTarget(w, h);
    ui.beginFrame(w, h, 1);

    fillGradient(ui, 0, 0, float(w), float(h), Color{0.07f, 0.05f, 0.05f, 1}, paletteShadow);
    drawGlow(ui, 200, 560, 420, withAlpha(paletteFlameDark, 0.5f));
    drawGlow(ui, 860, 80, 260, withAlpha(paletteFlame, 0.15f));
    std::mt19937 rng(1234);
    for (int i = 0; i < 70; ++i) {
        const float x = std::generate_canonical<float, 24>(rng) * w;
        const float y = std::generate_canonical<float, 24>(rng) * h;
        fillRect(ui, x, y, 2, 2, withAlpha(paletteAccent, 0.6f));
    }
    drawText(ui, "CORVANTHE", 48, 48, 8, paletteGoldLight);
    fillRect(ui, 48, 124, textWidth("CORVANTHE", 8), 2, paletteGold);
    drawText(ui, "Launcher 1.4.2 - Live - \xC3\xA9t\xC3\xA9 caf\xC3\xA9 \xE4\xB8\xAD", 48, 134, 2,
             paletteTextDim);

    UiInput hoverMenu;
    hoverMenu.mouseX = 60;
    hoverMenu.mouseY = 200;
    button(ui, hoverMenu, 48, 182, 260, 30, "Website", 2, true, false);
    button(ui, hoverMenu, 48, 220, 260, 30, "Open game folder", 2, true, false);
    button(ui, hoverMenu, 48, 258, 260, 30, "Check for updates", 2, false, false);
    drawPanel(ui, 48, 310, 260, 40, 8, palettePanel, paletteGoldDark);
    drawText(ui, "Channel: Testing", 62, 322, 2, paletteText);
    drawLine(ui, 280, 326, 288, 334, 2, paletteGold);
    drawLine(ui, 288, 334, 296, 326, 2, paletteGold);

    const float px = 500, pw = float(w) - 540, vh = 360;
    drawPanel(ui, px, 80, pw, vh + 40, 14, palettePanelDark, paletteGoldDark);
    ui.setClip(px + 22, 100, pw - 44, vh);
    drawNews(ui,
             "# Release 1.4.2: the long road north\n"
             "**Playtest weekend**\n"
             "- Faster installs, **bold** claims and one * star\n"
             "- A bullet long enough to wrap onto a second line beside its single square\n"
             "\n"
             "A paragraph of plain text that wraps at the column's width, with \xC3\xA9 and a "
             "tab\there.\n"
             "#not a heading\n"
             "Tail line that runs past the clip "
             "and is cut off at the panel's bottom edge.\n"
             "\n\n\n\n\nthis line is cut in half by the clip",
             px + 22, 100, pw - 56);
    ui.clearClip();
    fillRect(ui, px + pw - 16, 100, 4, vh, withAlpha(paletteGrey, 0.5f));
    fillRect(ui, px + pw - 16, 100, 4, 120, paletteGold);

    drawPanel(ui, 0, float(h) - 128, float(w), 128, 0, withAlpha(palettePanel, 0.9f),
              Color{0, 0, 0, 0});
    UiInput hoverPlay;
    hoverPlay.mouseX = float(w) - 200;
    hoverPlay.mouseY = float(h) - 80;
    button(ui, hoverPlay, float(w) - 280, float(h) - 108, 230, 58, "PLAY", 4, true, true);
    button(ui, UiInput{}, float(w) - 520, float(h) - 108, 230, 58, "UPDATE", 4, true, true);
    button(ui, UiInput{}, 48, 370, 230, 58, "WAIT", 4, false, true);
    drawText(ui, "Up to date", 48, float(h) - 96, 2, paletteText);
    drawText(ui, "cannot write to /games/corvanthe", 48, float(h) - 72, 2, paletteError);
    fillRect(ui, 48, float(h) - 40, 160, 6, paletteGrey);
    fillGradient(ui, 48, float(h) - 40, 100, 6, paletteFlame, paletteGold);
    ui.endFrame();

    const auto image = readTarget();

    const char* keep = std::getenv("CORVANTHE_UI_SAMPLE");
    const fs::path dir = fs::temp_directory_path() / ("ui_sample_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = keep != nullptr ? fs::path(keep) : dir / "sample.png";
    ASSERT_TRUE(writePng(file.string().c_str(), image.data(), w, h, 3, false));
    std::ifstream in(file, std::ios::binary);
    char signature[8] = {};
    in.read(signature, 8);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    fs::remove_all(dir);
    ui.destroy();
}

} // namespace
} // namespace qv::launcher
