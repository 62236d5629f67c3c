// The shapes and text as vertices in the renderer's batch, measured without any OpenGL context,
// and the text measuring and greedy word wrapping.

#include "app/ui_draw.h"
#include "base/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace qv::launcher {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using V = std::array<float, 9>; // x, y, u, v, r, g, b, a, mode

V fields(const UiVertex& v) {
    return {v.x, v.y, v.u, v.v, v.r, v.g, v.b, v.a, v.mode};
}

std::vector<V> batch(const UiRenderer& ui) {
    std::vector<V> out;
    for (const UiVertex& v : ui.vertices)
        out.push_back(fields(v));
    return out;
}

V flatAt(float x, float y, const Color& c) {
    return {x, y, 0, 0, c.r, c.g, c.b, c.a, 0};
}

const Color kRed{1.0f, 0.0f, 0.0f, 0.5f};
const Color kBlue{0.0f, 0.25f, 1.0f, 1.0f};

// The atlas coordinates of a glyph's top left corner, from the cell layout of the atlas.
std::array<float, 2> cellOf(int g) {
    return {static_cast<float>((g % 16) * 6) / 96.0f, static_cast<float>((g / 16) * 9) / 90.0f};
}

TEST(UiShapesTest, RectanglesGradientsAndGlowsAreTwoTrianglesOverTheirCorners) {
    UiRenderer ui;
    fillRect(ui, 10.5f, 20.25f, 100.0f, 50.0f, kRed);
    EXPECT_THAT(batch(ui), ElementsAre(flatAt(10.5f, 20.25f, kRed), flatAt(110.5f, 20.25f, kRed),
                                       flatAt(110.5f, 70.25f, kRed), flatAt(10.5f, 20.25f, kRed),
                                       flatAt(110.5f, 70.25f, kRed), flatAt(10.5f, 70.25f, kRed)));

    ui.vertices.clear();
    fillGradient(ui, 0.0f, 0.0f, 4.0f, 8.0f, kRed, kBlue);
    EXPECT_THAT(batch(ui),
                ElementsAre(flatAt(0, 0, kRed), flatAt(4, 0, kRed), flatAt(4, 8, kBlue),
                            flatAt(0, 0, kRed), flatAt(4, 8, kBlue), flatAt(0, 8, kBlue)));

    ui.vertices.clear();
    drawGlow(ui, 50.0f, 40.0f, 10.0f, kBlue);
    const Color& c = kBlue;
    EXPECT_THAT(batch(ui), ElementsAre(V{40, 30, -1, -1, c.r, c.g, c.b, c.a, 2},
                                       V{60, 30, 1, -1, c.r, c.g, c.b, c.a, 2},
                                       V{60, 50, 1, 1, c.r, c.g, c.b, c.a, 2},
                                       V{40, 30, -1, -1, c.r, c.g, c.b, c.a, 2},
                                       V{60, 50, 1, 1, c.r, c.g, c.b, c.a, 2},
                                       V{40, 50, -1, 1, c.r, c.g, c.b, c.a, 2}));
}

TEST(UiShapesTest, LinesAreOffsetByHalfTheirThicknessWithSquareEndsAtTheEndPoints) {
    UiRenderer ui;
    drawLine(ui, 5.0f, 5.0f, 5.0f, 5.0f, 3.0f, kRed);
    EXPECT_TRUE(ui.vertices.empty());

    // A (start + n), B (end + n), C (end - n), D (start - n): triangles A B C and A C D.
    drawLine(ui, 0.0f, 10.0f, 100.0f, 10.0f, 2.0f, kRed);
    EXPECT_THAT(batch(ui),
                ElementsAre(flatAt(0, 11, kRed), flatAt(100, 11, kRed), flatAt(100, 9, kRed),
                            flatAt(0, 11, kRed), flatAt(100, 9, kRed), flatAt(0, 9, kRed)));

    ui.vertices.clear();
    drawLine(ui, 10.0f, 0.0f, 10.0f, 50.0f, 4.0f, kRed);
    EXPECT_THAT(batch(ui),
                ElementsAre(flatAt(8, 0, kRed), flatAt(8, 50, kRed), flatAt(12, 50, kRed),
                            flatAt(8, 0, kRed), flatAt(12, 50, kRed), flatAt(12, 0, kRed)));

    ui.vertices.clear();
    drawLine(ui, 0.0f, 0.0f, 3.0f, 4.0f, 10.0f, kRed); // n = (-4, 3)
    ASSERT_EQ(ui.vertices.size(), 6u);
    const float expected[6][2] = {{-4, 3}, {-1, 7}, {7, 1}, {-4, 3}, {7, 1}, {4, -3}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(ui.vertices[i].x, expected[i][0]) << i;
        EXPECT_FLOAT_EQ(ui.vertices[i].y, expected[i][1]) << i;
    }
}

TEST(UiShapesTest, PanelIsAnOctagonFannedFromItsCentreWithItsBorderOnTop) {
    UiRenderer ui;
    const Color border{0.5f, 0.5f, 0.5f, 1.0f};
    drawPanel(ui, 10.0f, 20.0f, 100.0f, 50.0f, 5.0f, kBlue, border);
    ASSERT_EQ(ui.vertices.size(), 24u + 48u);

    const float p[8][2] = {{15, 20},  {105, 20}, {110, 25}, {110, 65},
                           {105, 70}, {15, 70},  {10, 65},  {10, 25}};
    std::vector<V> fan;
    for (int i = 1; i <= 8; ++i) {
        fan.push_back(flatAt(60, 45, kBlue));
        fan.push_back(flatAt(p[i - 1][0], p[i - 1][1], kBlue));
        fan.push_back(flatAt(p[i % 8][0], p[i % 8][1], kBlue));
    }
    const std::vector<V> all = batch(ui);
    EXPECT_EQ(std::vector<V>(all.begin(), all.begin() + 24), fan);

    // The first border edge, P0 to P1, one unit thick and centred on the top edge.
    EXPECT_THAT(std::vector<V>(all.begin() + 24, all.begin() + 30),
                ElementsAre(flatAt(15, 20.5f, border), flatAt(105, 20.5f, border),
                            flatAt(105, 19.5f, border), flatAt(15, 20.5f, border),
                            flatAt(105, 19.5f, border), flatAt(15, 19.5f, border)));
    // The last one runs from P7 back to P0 and closes the outline: its ends A D and B C are
    // centred on those points.
    EXPECT_FLOAT_EQ((all[66][0] + all[71][0]) * 0.5f, 10.0f);
    EXPECT_FLOAT_EQ((all[66][1] + all[71][1]) * 0.5f, 25.0f);
    EXPECT_FLOAT_EQ((all[67][0] + all[68][0]) * 0.5f, 15.0f);
    EXPECT_FLOAT_EQ((all[67][1] + all[68][1]) * 0.5f, 20.0f);

    // A cut of 0 is a rectangle: four of its edges have no length and add nothing.
    ui.vertices.clear();
    drawPanel(ui, 0.0f, 0.0f, 10.0f, 10.0f, 0.0f, kBlue, border);
    EXPECT_EQ(ui.vertices.size(), 24u + 24u);

    ui.vertices.clear();
    drawPanel(ui, 0.0f, 0.0f, 10.0f, 10.0f, 3.0f, kBlue, Color{1, 1, 1, 0});
    EXPECT_EQ(ui.vertices.size(), 24u);
}

TEST(UiTextTest, GlyphQuadsSitAtRoundedPenPositionsWithTheirAtlasCells) {
    UiRenderer ui;
    drawText(ui, "", 10.0f, 10.0f, 2.0f, kRed);
    EXPECT_TRUE(ui.vertices.empty());

    // The space advances the pen (22.4 -> 34.4) but draws nothing.
    drawText(ui, "A B", 10.4f, 0.0f, 2.0f, kRed);
    ASSERT_EQ(ui.vertices.size(), 12u);
    const int a = glyphIndex('A');
    const int b = glyphIndex('B');
    const auto [ua, va] = cellOf(a);
    const auto [ub, vb] = cellOf(b);
    const float du = 5.0f / 96.0f;
    const float dv = 8.0f / 90.0f;
    const Color& c = kRed;
    EXPECT_THAT(batch(ui), ElementsAre(V{10, 0, ua, va, c.r, c.g, c.b, c.a, 1},
                                       V{20, 0, ua + du, va, c.r, c.g, c.b, c.a, 1},
                                       V{20, 16, ua + du, va + dv, c.r, c.g, c.b, c.a, 1},
                                       V{10, 0, ua, va, c.r, c.g, c.b, c.a, 1},
                                       V{20, 16, ua + du, va + dv, c.r, c.g, c.b, c.a, 1},
                                       V{10, 16, ua, va + dv, c.r, c.g, c.b, c.a, 1},
                                       V{34, 0, ub, vb, c.r, c.g, c.b, c.a, 1},
                                       V{44, 0, ub + du, vb, c.r, c.g, c.b, c.a, 1},
                                       V{44, 16, ub + du, vb + dv, c.r, c.g, c.b, c.a, 1},
                                       V{34, 0, ub, vb, c.r, c.g, c.b, c.a, 1},
                                       V{44, 16, ub + du, vb + dv, c.r, c.g, c.b, c.a, 1},
                                       V{34, 16, ub, vb + dv, c.r, c.g, c.b, c.a, 1}));
}

TEST(UiTextTest, OnlyThePenIsRoundedHalvesAwayFromZeroEachTimeFromTheUnroundedPen) {
    struct Case {
        float at;
        float rounded;
    };
    for (const Case& k : {Case{7.5f, 8.0f}, Case{-7.5f, -8.0f}, Case{2.4f, 2.0f},
                          Case{-2.6f, -3.0f}, Case{0.5f, 1.0f}, Case{-0.5f, -1.0f}}) {
        UiRenderer ui;
        drawText(ui, "x", k.at, k.at, 1.0f, kRed);
        ASSERT_EQ(ui.vertices.size(), 6u);
        EXPECT_EQ(ui.vertices[0].x, k.rounded) << k.at;
        EXPECT_EQ(ui.vertices[0].y, k.rounded) << k.at;
        EXPECT_EQ(ui.vertices[2].x, k.rounded + 5.0f) << k.at;
        EXPECT_EQ(ui.vertices[2].y, k.rounded + 8.0f) << k.at;
    }

    // At scale 1.25 the pens are 0, 7.5, 15, 22.5; rounding the running pen instead would
    // drift to 0, 8, 16, 24. A font pixel is a whole pixel: 1.25 of them round to one.
    UiRenderer ui;
    drawText(ui, "AAAA", 0.0f, 0.0f, 1.25f, kRed);
    ASSERT_EQ(ui.vertices.size(), 24u);
    const float lefts[4] = {0.0f, 8.0f, 15.0f, 23.0f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ui.vertices[6 * i].x, lefts[i]) << i;
        EXPECT_EQ(ui.vertices[6 * i + 1].x, lefts[i] + 5.0f) << i;
        EXPECT_EQ(ui.vertices[6 * i + 2].y, 8.0f) << i;
    }
}

// At a display scale the glyph's corner lands on a framebuffer pixel and each font pixel is a
// whole number of them (text scale times display scale, rounded), while the pen advances in
// screen units as at 100%.
TEST(UiTextTest, AtADisplayScaleGlyphsSitOnWholePixelsAndFontPixelsAreWholePixels) {
    struct Case {
        float s, scale;
        float left, top; // first glyph's corner in framebuffer pixels
        float block;     // framebuffer pixels per font pixel
    };
    const Case cases[] = {
        {2, 1, 10, 5, 2},     {2, 2, 21, 11, 4},    {2, 1.5f, 15, 8, 3}, {3, 1.5f, 15, 8, 4},
        {8, 1.5f, 15, 8, 12}, {7, 1.5f, 15, 8, 10}, {2, 1.25f, 13, 7, 2}, {1, 0.4f, 4, 2, 1},
    };
    for (const Case& c : cases) {
        UiRenderer ui;
        ui.pixelsPerUnit = c.scale;
        drawText(ui, "AA", 10.3f, 5.4f, c.s, kRed);
        ASSERT_EQ(ui.vertices.size(), 12u);
        const auto px = [&](float units) { return units * c.scale; };
        const std::string what = std::to_string(c.s) + " at " + std::to_string(c.scale);
        EXPECT_FLOAT_EQ(px(ui.vertices[0].x), c.left) << what;
        EXPECT_FLOAT_EQ(px(ui.vertices[0].y), c.top) << what;
        EXPECT_FLOAT_EQ(px(ui.vertices[2].x - ui.vertices[0].x), 5 * c.block) << what;
        EXPECT_FLOAT_EQ(px(ui.vertices[2].y - ui.vertices[0].y), 8 * c.block) << what;
        // The second glyph: the pen moved 6 s units, snapped to a pixel on its own.
        EXPECT_FLOAT_EQ(px(ui.vertices[6].x), std::round(px(10.3f + 6 * c.s))) << what;
    }
}

TEST(UiTextTest, EveryCodePointButTheSpaceDrawsAGlyphAndAdvancesOnce) {
    // A tab, a line feed, a code point the font lacks (U+4E2D, three bytes) and one it has (e,
    // U+00E9, two bytes): each is one glyph and one advance.
    UiRenderer ui;
    drawText(ui, "\t\n\xE4\xB8\xAD\xC3\xA9", 0.0f, 0.0f, 1.0f, kRed);
    ASSERT_EQ(ui.vertices.size(), 24u);
    const auto question = cellOf(glyphIndex('?'));
    const auto acute = cellOf(glyphIndex(0xE9));
    ASSERT_NE(question, acute);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ui.vertices[6 * i].x, 6.0f * i);
        EXPECT_EQ((std::array<float, 2>{ui.vertices[6 * i].u, ui.vertices[6 * i].v}), question);
    }
    EXPECT_EQ(ui.vertices[18].x, 18.0f);
    EXPECT_EQ((std::array<float, 2>{ui.vertices[18].u, ui.vertices[18].v}), acute);
}

TEST(UiTextTest, TextWidthCountsCodePointsWithoutTheTrailingGap) {
    EXPECT_EQ(textWidth("", 2.0f), 0.0f);
    EXPECT_EQ(textWidth("A", 2.0f), 10.0f);
    EXPECT_EQ(textWidth("\xC3\xA9"
                        "a",
                        1.0f),
              11.0f);
    EXPECT_EQ(textWidth("a b", 1.0f), 17.0f);
    EXPECT_EQ(textWidth("ab", 1.5f), 16.5f);
    EXPECT_EQ(textWidth("PLAY", 4.0f), 92.0f);
}

TEST(UiTextTest, WrapTextIsGreedyAtSpacesAndCutsLongWordsBetweenCodePoints) {
    struct Case {
        const char* what;
        std::string text;
        float s;
        float width;
        std::vector<std::string> lines;
    };
    const std::string e = "\xC3\xA9"; // one two-byte code point
    const std::vector<Case> cases = {
        {"empty text", "", 1, 100, {""}},
        {"exactly fits (M 11)", "hello world", 1, 65, {"hello world"}},
        {"one short (M 10)", "hello world", 1, 64, {"hello", "world"}},
        {"long word in pieces of M", "abcdefghij", 2, 34, {"abc", "def", "ghi", "j"}},
        {"long word after a short one", "ab cdefgh", 1, 17, {"ab", "cde", "fgh"}},
        {"last piece starts a line", "abcde f", 1, 23, {"abcd", "e f"}},
        {"leading space vanishes", " hello", 1, 100, {"hello"}},
        {"space runs inside a line stay", "ab  cd", 1, 100, {"ab  cd"}},
        {"trailing space stays when it fits", "ab ", 1, 100, {"ab "}},
        {"trailing space at the break vanishes", "abc def ", 1, 41, {"abc def"}},
        {"spaces at a break", "ab   cd", 1, 17, {"ab ", "cd"}},
        {"width 0 (M 1)", "ab cd", 1, 0, {"a", "b", "c", "d"}},
        {"never inside a character", e + e + e, 1, 11, {e + e, e}},
        {"tabs and line feeds are letters", "a\tb c\nd", 1, 17, {"a\tb", "c\nd"}},
        {"only spaces", "   ", 1, 100, {""}},
    };
    std::vector<std::string_view> views;
    for (const Case& c : cases) {
        EXPECT_THAT(wrapText(c.text, c.s, c.width), ElementsAreArray(c.lines)) << c.what;
        wrapText(c.text, c.s, c.width, views);
        EXPECT_THAT(views, ElementsAreArray(c.lines)) << c.what;
        std::string first = c.text;
        keepFirstWrappedLine(first, c.s, c.width);
        EXPECT_EQ(first, c.lines.front()) << c.what;
    }
}

// The rules spelled out with strings, word by word, as a yardstick for the wrapping that works
// on byte positions of the text.
std::vector<std::string> wrapByTheRules(const std::string& text, std::size_t m) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t length = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = text.find(' ', start);
        std::string word = text.substr(start, space == std::string::npos ? std::string::npos
                                                                         : space - start);
        std::size_t k = countCodePoints(word);
        if (length > 0 && length + 1 + k <= m) {
            line += ' ' + word;
            length += 1 + k;
        } else {
            if (length > 0) lines.push_back(line);
            line.clear();
            while (k > m) {
                std::size_t cut = 0;
                for (std::size_t i = 0; i < m; ++i)
                    cut = codePointEnd(word, cut);
                lines.push_back(word.substr(0, cut));
                word.erase(0, cut);
                k = countCodePoints(word);
            }
            line = word;
            length = k;
        }
        if (space == std::string::npos) break;
        start = space + 1;
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

TEST(UiTextTest, WrapTextAgreesWithTheRulesOnRandomTexts) {
    // Spaces in runs, multi-byte characters, and broken sequences whose bytes codePointEnd
    // steps over faster than they are counted (a lone lead, stray continuation bytes).
    const char* const pieces[] = {" ",  "  ",   "a",          "bc",       "wordy",
                                  "abcdefghijklm", "\xC3\xA9", "\xE4\xB8\xAD", "\x80\x80\x80",
                                  "\xE4\xB8", "\xF0\x9F\x98\x80", "\xC3",   "\xFF",    "\t"};
    std::mt19937 rng(2024);
    std::vector<std::string_view> views;
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        for (int n = static_cast<int>(rng() % 12); n > 0; --n)
            text += pieces[rng() % std::size(pieces)];
        const float s = i % 3 == 0 ? 1.0f : 2.0f;
        const float width = static_cast<float>(rng() % 120);
        const std::size_t m = std::max<std::size_t>(1, static_cast<std::size_t>((width + s) / (6 * s)));
        const std::vector<std::string> expected = wrapByTheRules(text, m);
        ASSERT_EQ(wrapText(text, s, width), expected) << '"' << text << "\" at M " << m;
        wrapText(text, s, width, views);
        ASSERT_THAT(views, ElementsAreArray(expected)) << '"' << text << "\" at M " << m;
        std::string first = text;
        keepFirstWrappedLine(first, s, width);
        ASSERT_EQ(first, expected.front()) << '"' << text << "\" at M " << m;
    }
}

TEST(UiTextTest, WrapTextSurvivesScalesAndWidthsTheLauncherNeverPasses) {
    // No line length is promised here, only an answer without undefined behaviour and with every
    // code point kept.
    for (float s : {0.0f, -1.0f}) {
        for (float width : {-100.0f, 0.0f, 50.0f, 1e30f}) {
            const auto lines = wrapText("ab cd", s, width);
            ASSERT_FALSE(lines.empty());
            std::string joined;
            for (const auto& line : lines)
                joined += line;
            EXPECT_EQ(std::count(joined.begin(), joined.end(), 'a') +
                          std::count(joined.begin(), joined.end(), 'd'),
                      2);
        }
    }
    EXPECT_THAT(wrapText("ab cd", 1.0f, -50.0f), ElementsAre("a", "b", "c", "d"));
}

// At scale 2 a width of 118 holds ten code points: a longer text keeps seven and "...", whole
// code points only; a text that fits is left alone. The tail of a field shows the last ten.
TEST(UiTextTest, FitToWidthCutsWithDotsAndTailKeepsTheEnd) {
    struct Case {
        std::string text;
        float width;
        std::string fitted;
        std::string tail;
    };
    const std::string e = "\xC3\xA9"; // one code point of two bytes
    const Case cases[] = {
        {"Installed", 118, "Installed", "Installed"},
        {"0123456789", 118, "0123456789", "0123456789"},
        {"0123456789A", 118, "0123456...", "123456789A"},
        {e + e + e + e + e + e + e + e + e + e + e, 118, e + e + e + e + e + e + e + "...",
         e + e + e + e + e + e + e + e + e + e},
        {"abcdef", 34, "...", "def"}, // room for three: dots only
        {"abcdef", 22, "..", "ef"},   // fewer than three
        {"abcdef", 9, "", ""},        // not even one
        {"", 0, "", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        fitToWidth(text, 2.0f, c.width);
        EXPECT_EQ(text, c.fitted) << c.text << " in " << c.width;
        EXPECT_LE(textWidth(text, 2.0f), c.width);
        EXPECT_EQ(std::string(tailThatFits(c.text, 2.0f, c.width)), c.tail) << c.text;
    }
}

} // namespace
} // namespace qv::launcher
