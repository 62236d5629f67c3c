// The palette, the button's looks, hover edges and clicks, and the news renderer's markup, line
// heights and asterisk rule, all read back from the renderer's batch without an OpenGL context.

#include "app/palette.h"
#include "app/ui_draw.h"
#include "app/widgets.h"
#include "base/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../support/batch_text.h"

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace qv::launcher {

namespace {

using test::DrawnLine;
using test::drawnLines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// The batch as runs of consecutive vertices with the same colour and mode.
struct BatchRun {
    int count;
    Color color;
    float mode;
    bool operator==(const BatchRun& o) const {
        return count == o.count && color == o.color && mode == o.mode;
    }
};
void PrintTo(const BatchRun& r, std::ostream* os) {
    *os << r.count << " x mode " << r.mode << " ";
    PrintTo(r.color, os);
}

std::vector<BatchRun> runs(const UiRenderer& ui) {
    std::vector<BatchRun> out;
    for (const UiVertex& v : ui.vertices) {
        const Color c{v.r, v.g, v.b, v.a};
        if (!out.empty() && out.back().color == c && out.back().mode == v.mode)
            ++out.back().count;
        else
            out.push_back(BatchRun{1, c, v.mode});
    }
    return out;
}

// The flat 5 by 5 squares (the bullets' marks) by their top left corner.
std::vector<std::pair<float, float>> squares(const UiRenderer& ui) {
    std::vector<std::pair<float, float>> out;
    for (std::size_t i = 0; i + 6 <= ui.vertices.size(); i += 6) {
        const UiVertex& tl = ui.vertices[i];
        const UiVertex& br = ui.vertices[i + 2];
        if (tl.mode == 0.0f && br.x - tl.x == 5.0f && br.y - tl.y == 5.0f)
            out.emplace_back(tl.x, tl.y);
    }
    return out;
}

TEST(PaletteTest, EveryColourIsTheNearestFloatToItsDecimals) {
    struct Entry {
        const char* name;
        const Color& color;
        const char* decimals[4];
    };
    const Entry entries[] = {
        {"Text", paletteText, {"0.87", "0.845", "0.78", "1"}},
        {"TextBright", paletteTextBright, {"1", "0.965", "0.87", "1"}},
        {"TextDim", paletteTextDim, {"0.56", "0.54", "0.505", "1"}},
        {"TextFaint", paletteTextFaint, {"0.4", "0.388", "0.365", "1"}},
        {"Gold", paletteGold, {"0.78", "0.6", "0.3", "1"}},
        {"GoldDark", paletteGoldDark, {"0.42", "0.31", "0.15", "1"}},
        {"GoldLight", paletteGoldLight, {"0.96", "0.8", "0.48", "1"}},
        {"Accent", paletteAccent, {"0.98", "0.48", "0.18", "1"}},
        {"FlameDark", paletteFlameDark, {"0.52", "0.2", "0.06", "1"}},
        {"Flame", paletteFlame, {"0.95", "0.42", "0.14", "1"}},
        {"Error", paletteError, {"0.76", "0.22", "0.16", "1"}},
        {"Panel", palettePanel, {"0.058", "0.054", "0.066", "0.93"}},
        {"PanelDark", palettePanelDark, {"0.032", "0.03", "0.038", "0.96"}},
        {"PanelHover", palettePanelHover, {"0.11", "0.104", "0.118", "0.93"}},
        {"Shadow", paletteShadow, {"0.01", "0.009", "0.012", "1"}},
        {"Grey", paletteGrey, {"0.3", "0.286", "0.3", "1"}},
        {"Button", paletteButton, {"0.205", "0.19", "0.182", "1"}},
        {"ButtonHover", paletteButtonHover, {"0.33", "0.25", "0.15", "1"}},
    };
    for (const Entry& e : entries) {
        const Color expected{
            std::strtof(e.decimals[0], nullptr), std::strtof(e.decimals[1], nullptr),
            std::strtof(e.decimals[2], nullptr), std::strtof(e.decimals[3], nullptr)};
        EXPECT_EQ(e.color, expected) << e.name;
    }
}

// A 120 by 40 button at (100, 200) labelled "Go" at scale 2.
constexpr float kX = 100, kY = 200, kW = 120, kH = 40;

UiInput mouseAt(float x, float y, bool clicked = false) {
    UiInput in;
    in.mouseX = x;
    in.mouseY = y;
    in.clicked = clicked;
    return in;
}

TEST(ButtonTest, HoverIncludesTheLeftAndTopEdgesButNotTheRightAndBottom) {
    struct Case {
        float x, y;
        bool hovered;
    };
    const Case cases[] = {
        {kX, kY, true},
        {kX + kW - 0.01f, kY + kH - 0.01f, true},
        {kX + kW, kY + 10, false},
        {kX + 10, kY + kH, false},
        {kX - 0.01f, kY + 10, false},
        {kX + 10, kY - 0.01f, false},
    };
    for (bool primary : {true, false}) {
        for (const Case& c : cases) {
            UiRenderer ui;
            EXPECT_EQ(button(ui, mouseAt(c.x, c.y, true), kX, kY, kW, kH, "Go", 2, true, primary),
                      c.hovered)
                << c.x << ", " << c.y << (primary ? " primary" : " plain");
        }
    }
}

TEST(ButtonTest, EachLookDrawsPanelBorderGlowShadowLabelAndUnderlineInOrder) {
    const Color shadow{paletteShadow.r, paletteShadow.g, paletteShadow.b, 0.8f};
    const Color glowEnabled{paletteFlame.r, paletteFlame.g, paletteFlame.b, 0.1f};
    const Color glowHovered{paletteFlame.r, paletteFlame.g, paletteFlame.b, 0.22f};
    struct Case {
        const char* what;
        bool primary, enabled;
        UiInput input;
        std::vector<BatchRun> expected;
    };
    const UiInput inside = mouseAt(150, 210);
    const UiInput outside = mouseAt(0, 0);
    const std::vector<Case> cases = {
        {"primary disabled under the mouse",
         true,
         false,
         inside,
         {{24, palettePanelDark, 0},
          {48, paletteGrey, 0},
          {12, shadow, 1},
          {12, paletteTextFaint, 1}}},
        {"primary enabled",
         true,
         true,
         outside,
         {{24, paletteButton, 0},
          {48, paletteGold, 0},
          {6, glowEnabled, 2},
          {12, shadow, 1},
          {12, paletteText, 1}}},
        {"primary hovered",
         true,
         true,
         inside,
         {{24, paletteButtonHover, 0},
          {48, paletteGoldLight, 0},
          {6, glowHovered, 2},
          {12, shadow, 1},
          {12, paletteTextBright, 1}}},
        {"plain disabled under the mouse",
         false,
         false,
         inside,
         {{12, shadow, 1}, {12, paletteTextFaint, 1}}},
        {"plain enabled", false, true, outside, {{12, shadow, 1}, {12, paletteTextDim, 1}}},
        {"plain hovered",
         false,
         true,
         inside,
         {{12, shadow, 1}, {12, paletteTextBright, 1}, {6, paletteAccent, 0}}},
    };
    for (const Case& c : cases) {
        UiRenderer ui;
        button(ui, c.input, kX, kY, kW, kH, "Go", 2, c.enabled, c.primary);
        EXPECT_THAT(runs(ui), ElementsAreArray(c.expected)) << c.what;
    }

    // The glow is centred on the button with a radius of 0.6 of its width.
    UiRenderer ui;
    button(ui, outside, kX, kY, kW, kH, "Go", 2, true, true);
    const UiVertex& glowTopLeft = ui.vertices[72];
    const UiVertex& glowBottomRight = ui.vertices[74];
    EXPECT_FLOAT_EQ(glowTopLeft.x, 160 - 72);
    EXPECT_FLOAT_EQ(glowTopLeft.y, 220 - 72);
    EXPECT_FLOAT_EQ(glowBottomRight.x, 160 + 72);
    EXPECT_FLOAT_EQ(glowBottomRight.y, 220 + 72);
}

TEST(ButtonTest, ClickCountsOnlyInTheFrameOfThePressAndNeverWhenDisabled) {
    UiRenderer ui;
    // Hovered but not pressed: the hover look, no click.
    EXPECT_FALSE(button(ui, mouseAt(150, 210, false), kX, kY, kW, kH, "Go", 2, true, true));
    EXPECT_EQ(runs(ui)[0].color, paletteButtonHover);
    ui.vertices.clear();
    EXPECT_TRUE(button(ui, mouseAt(150, 210, true), kX, kY, kW, kH, "Go", 2, true, true));
    EXPECT_EQ(runs(ui)[0].color, paletteButtonHover);
    ui.vertices.clear();
    EXPECT_FALSE(button(ui, mouseAt(150, 210, true), kX, kY, kW, kH, "Go", 2, false, true));
    EXPECT_FALSE(button(ui, mouseAt(150, 210, true), kX, kY, kW, kH, "Go", 2, false, false));
    EXPECT_FALSE(button(ui, mouseAt(0, 0, true), kX, kY, kW, kH, "Go", 2, true, true));
}

TEST(ButtonTest, PrimaryLabelIsCentredAndPlainLabelIsLeftAlignedWithItsUnderline) {
    UiRenderer ui;
    button(ui, mouseAt(0, 0), 100, 200, 230, 58, "PLAY", 4, true, true);
    const Color shadow{paletteShadow.r, paletteShadow.g, paletteShadow.b, 0.8f};
    EXPECT_THAT(drawnLines(ui), ElementsAre(DrawnLine{173, 217, 4, "PLAY", shadow},
                                            DrawnLine{169, 213, 4, "PLAY", paletteText}));

    // The label's text width is 17 * 2 = 34; its top 107; the underline 3 units below the glyphs.
    ui.vertices.clear();
    button(ui, mouseAt(60, 110), 48, 100, 260, 30, "Key", 2, true, false);
    EXPECT_THAT(drawnLines(ui), ElementsAre(DrawnLine{50, 109, 2, "Key", shadow},
                                            DrawnLine{48, 107, 2, "Key", paletteTextBright}));
    ASSERT_GE(ui.vertices.size(), 6u);
    const UiVertex* underline = &ui.vertices[ui.vertices.size() - 6];
    EXPECT_EQ(underline[0].x, 48);
    EXPECT_EQ(underline[0].y, 126);
    EXPECT_EQ(underline[2].x, 48 + textWidth("Key", 2));
    EXPECT_EQ(underline[2].y, 127);
}

TEST(NewsTest, HeightsFollowTheLineKinds) {
    struct Case {
        std::string text;
        float width;
        float height;
    };
    const Case cases[] = {
        {"", 400, 0},
        {"\n", 400, 11},
        {"\n\n", 400, 22},
        {"Hello", 400, 24},
        {"Hello\n", 400, 24}, // a final line feed adds no empty line
        {"**Hi**", 400, 30},
        {"****", 400, 24}, // too short to be emphasised: an empty paragraph
        {"# Alpha Beta", 400, 37},
        {"# Alpha Beta", 100, 70}, // wraps to two heading lines
        {"# ", 400, 37},
        {"- ", 400, 24},
        {"-", 400, 24},
        {"a\n\nb", 400, 59},
        {"- one\n# two\n**three**\nfour", 400, 24 + 37 + 30 + 24},
    };
    for (const Case& c : cases) {
        UiRenderer ui;
        EXPECT_EQ(drawNews(ui, c.text, 10, 100, c.width), c.height) << '"' << c.text << '"';
        if (c.text.empty()) {
            EXPECT_THAT(ui.vertices, IsEmpty());
        }
    }
}

TEST(NewsTest, MarkupDecidesPositionScaleColourAndAsterisks) {
    struct Case {
        std::string text;
        std::vector<DrawnLine> lines;
    };
    const std::vector<Case> cases = {
        {"# Title", {{10, 100, 3, "Title", paletteGoldLight}}},
        {"# a**b", {{10, 100, 3, "a**b", paletteGoldLight}}},
        {"**x**", {{10, 106, 2, "x", paletteAccent}}},
        {"***x***", {{10, 106, 2, "*x*", paletteAccent}}},
        {"**x** more", {{10, 100, 2, "x more", paletteText}}},
        {"a***b", {{10, 100, 2, "a*b", paletteText}}},
        {"a****b", {{10, 100, 2, "ab", paletteText}}},
        {"a*b ** c", {{10, 100, 2, "a*b  c", paletteText}}},
        {"****", {}},
        {"#", {{10, 100, 2, "#", paletteText}}},
        {"#text", {{10, 100, 2, "#text", paletteText}}},
        {"-text", {{10, 100, 2, "-text", paletteText}}},
        {"- **bold** word", {{26, 100, 2, "bold word", paletteText}}},
        {"ab\r\ncd", {{10, 100, 2, "ab?", paletteText}, {10, 124, 2, "cd", paletteText}}},
        {"one\n\n# two", {{10, 100, 2, "one", paletteText}, {10, 135, 3, "two", paletteGoldLight}}},
    };
    for (const Case& c : cases) {
        UiRenderer ui;
        drawNews(ui, c.text, 10, 100, 400);
        EXPECT_THAT(drawnLines(ui), ElementsAreArray(c.lines)) << '"' << c.text << '"';
        const bool bullet = c.text.rfind("- ", 0) == 0;
        EXPECT_EQ(squares(ui).size(), bullet ? 1u : 0u) << '"' << c.text << '"';
    }
}

TEST(NewsTest, BulletsWrapBesideOneSquareAndParagraphsUseTheFullWidth) {
    // Width 86: the bullet's text gets 70, six code points a line at scale 2.
    UiRenderer ui;
    EXPECT_EQ(drawNews(ui, "- alpha beta gamma", 10, 100, 86), 3 * 22 + 2);
    EXPECT_THAT(drawnLines(ui), ElementsAre(DrawnLine{26, 100, 2, "alpha", paletteText},
                                            DrawnLine{26, 122, 2, "beta", paletteText},
                                            DrawnLine{26, 144, 2, "gamma", paletteText}));
    EXPECT_THAT(squares(ui), ElementsAre(std::pair<float, float>{13, 106}));
    EXPECT_EQ(runs(ui)[0].color, paletteGold);

    // The same text as a paragraph has the full 86 (seven code points a line).
    ui.vertices.clear();
    EXPECT_EQ(drawNews(ui, "alpha beta gamma", 10, 100, 86), 3 * 22 + 2);
    EXPECT_THAT(drawnLines(ui), ElementsAre(DrawnLine{10, 100, 2, "alpha", paletteText},
                                            DrawnLine{10, 122, 2, "beta", paletteText},
                                            DrawnLine{10, 144, 2, "gamma", paletteText}));
    ui.vertices.clear();
    EXPECT_EQ(drawNews(ui, "ab cd efgh", 10, 100, 86), 2 * 22 + 2);
    EXPECT_THAT(drawnLines(ui), ElementsAre(DrawnLine{10, 100, 2, "ab cd", paletteText},
                                            DrawnLine{10, 122, 2, "efgh", paletteText}));

    // An empty bullet still draws its square and takes one line.
    ui.vertices.clear();
    EXPECT_EQ(drawNews(ui, "- ", 0, 0, 400), 24);
    EXPECT_THAT(squares(ui), ElementsAre(std::pair<float, float>{3, 6}));
}

// A kept layout is wrapped again only for another text or width, and a frame draws the lines in
// view: here 200 one-line paragraphs (24 units each), of which a band of 100 units shows lines
// 10 to 14; line 9 comes too, within the margin that a heading's taller glyphs need.
TEST(NewsTest, KeptLayoutDrawsOnlyTheLinesInView) {
    std::string news;
    for (int i = 0; i < 200; ++i)
        news += "line " + std::to_string(i) + "\n";
    NewsLayout layout;
    EXPECT_EQ(layoutNews(layout, news, 400), 200 * 24);
    layout.height = -1; // a second layout would put it right
    EXPECT_EQ(layoutNews(layout, news, 400), -1);
    EXPECT_EQ(layoutNews(layout, news, 399), 200 * 24);
    layout.height = -1;
    EXPECT_EQ(layoutNews(layout, news + "x", 399), 200 * 24 + 24);

    UiRenderer ui;
    // The column's top at y 0 - 240: line 10 starts at the band's top (100).
    drawNewsLayout(ui, layout, 20, -140, 100, 200);
    std::vector<std::string> shown;
    for (const DrawnLine& line : drawnLines(ui))
        shown.push_back(line.text);
    EXPECT_THAT(shown,
                ElementsAre("line 9", "line 10", "line 11", "line 12", "line 13", "line 14"));
    EXPECT_EQ(drawnLines(ui)[1].y, 100);

    // Past the end and before the start nothing is drawn; the whole band draws every line.
    ui.vertices.clear();
    drawNewsLayout(ui, layout, 20, -140, 6000, 7000);
    drawNewsLayout(ui, layout, 20, 500, 0, 400);
    EXPECT_THAT(ui.vertices, IsEmpty());
    drawNewsLayout(ui, layout, 20, 0, -1e9f, 1e9f);
    EXPECT_EQ(drawnLines(ui).size(), 201u);
}

// A word far longer than the column is cut into full lines; the pieces join to the word again,
// whatever its characters.
TEST(NewsTest, LongWordsAreCutIntoFullLinesOfAnyBytes) {
    const std::string words[] = {std::string(5000, 'w'), std::string(3000, '\xE9'), [] {
                                     std::string w;
                                     for (int i = 0; i < 2000; ++i)
                                         w += "\xC3\xA9";
                                     return w;
                                 }()};
    for (const std::string& word : words) {
        std::vector<std::string_view> lines;
        wrapText(word, 2.0f, 118.0f, lines); // ten code points a line
        std::string joined;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            joined += lines[i];
            if (i + 1 < lines.size()) {
                EXPECT_EQ(countCodePoints(std::string(lines[i])), 10u) << i;
            }
        }
        EXPECT_EQ(joined, word);
        EXPECT_EQ(lines.size(), (countCodePoints(word) + 9) / 10);
    }
}

} // namespace
} // namespace qv::launcher
