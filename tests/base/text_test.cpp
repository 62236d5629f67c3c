// UTF-8 stepping over well-formed and broken text, and the rules of the built-in font's tables.

#include "base/font.h"
#include "base/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qv::launcher {
namespace {

using ::testing::ElementsAreArray;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

// Every step from the start to the end: the code point and the position after it.
std::vector<std::pair<std::uint32_t, std::size_t>> steps(const std::string& text) {
    std::vector<std::pair<std::uint32_t, std::size_t>> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::uint32_t v = nextCodePoint(text, pos);
        out.emplace_back(v, pos);
    }
    return out;
}

TEST(Utf8Test, NextCodePointDecodesByBitPatternAndFallsBackToSingleBytes) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::pair<std::uint32_t, std::size_t>> expected;
    };
    const Case cases[] = {
        {"two-byte form", bytes({0xC3, 0xA9}), {{0xE9, 2}}},
        {"Latin-1 byte before ASCII", bytes({0xE9, 0x41}), {{0xE9, 1}, {0x41, 2}}},
        {"three-byte form", bytes({0xE2, 0x82, 0xAC}), {{0x20AC, 3}}},
        {"three-byte form cut by the end", bytes({0xE2, 0x82}), {{0xE2, 1}, {0x82, 2}}},
        {"broken by ASCII", bytes({0xE2, 0x28, 0xA1}), {{0xE2, 1}, {0x28, 2}, {0xA1, 3}}},
        {"overlong zero", bytes({0xC0, 0x80}), {{0, 2}}},
        {"surrogate", bytes({0xED, 0xA0, 0x80}), {{0xD800, 3}}},
        {"above U+10FFFF", bytes({0xF4, 0x90, 0x80, 0x80}), {{0x110000, 4}}},
        {"largest four-byte value", bytes({0xF7, 0xBF, 0xBF, 0xBF}), {{0x1FFFFF, 4}}},
        {"five-byte form",
         bytes({0xF8, 0x88, 0x80, 0x80, 0x80}),
         {{0xF8, 1}, {0x88, 2}, {0x80, 3}, {0x80, 4}, {0x80, 5}}},
        {"four-byte form cut by the end",
         bytes({0xF0, 0x90, 0x80}),
         {{0xF0, 1}, {0x90, 2}, {0x80, 3}}},
        {"lead byte before a lead byte", bytes({0xC3, 0xC3, 0xA9}), {{0xC3, 1}, {0xE9, 3}}},
        {"lone continuation and 0xFF",
         bytes({0xBF, 0xFF, 0x7F}),
         {{0xBF, 1}, {0xFF, 2}, {0x7F, 3}}},
        {"NUL is a code point", bytes({0x00, 0x61}), {{0, 1}, {0x61, 2}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(steps(c.text), c.expected) << c.what;
}

TEST(Utf8Test, NextCodePointAtOrPastTheEndReturnsZeroAndStays) {
    const std::string empty;
    std::size_t pos = 0;
    EXPECT_EQ(nextCodePoint(empty, pos), 0u);
    EXPECT_EQ(pos, 0u);

    const std::string text = "ab";
    for (std::size_t start : {std::size_t(2), std::size_t(9)}) {
        pos = start;
        EXPECT_EQ(nextCodePoint(text, pos), 0u);
        EXPECT_EQ(pos, start);
    }
}

TEST(Utf8Test, CountCodePointsCountsSteps) {
    EXPECT_EQ(countCodePoints(""), 0u);
    EXPECT_EQ(countCodePoints("h\xC3\xA9llo"), 5u);
    EXPECT_EQ(countCodePoints(bytes({0xE2, 0x82})), 2u);
    EXPECT_EQ(countCodePoints(bytes({0xF8, 0x88, 0x80, 0x80, 0x80})), 5u);
}

TEST(Utf8Test, CodePointEndSkipsContinuationBytesOnly) {
    const std::string euroX = bytes({0xE2, 0x82, 0xAC, 0x78});
    const std::string aLoneB = bytes({0x61, 0x80, 0x80, 0x62});
    const std::string euro = bytes({0xE2, 0x82, 0xAC});
    struct Case {
        const std::string* text;
        std::size_t from;
        std::size_t expected;
    };
    const Case cases[] = {
        {&euroX, 0, 3}, {&euroX, 1, 3},  {&euroX, 3, 4},  {&euro, 3, 3},
        {&euro, 7, 3},  {&aLoneB, 0, 3}, {&aLoneB, 3, 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(codePointEnd(*c.text, c.from), c.expected) << "from " << c.from;

    // The stepping decoder disagrees on malformed text: it takes the ASCII byte alone.
    std::size_t pos = 0;
    EXPECT_EQ(nextCodePoint(aLoneB, pos), 0x61u);
    EXPECT_EQ(pos, 1u);
}

TEST(Utf8Test, CodePointStartGoesBackOverContinuationBytes) {
    const std::string aEuro = bytes({0x61, 0xE2, 0x82, 0xAC});
    const std::string continuations = bytes({0x80, 0x80, 0x80});
    EXPECT_EQ(codePointStart(aEuro, 4), 1u);
    EXPECT_EQ(codePointStart(aEuro, 3), 1u);
    EXPECT_EQ(codePointStart(aEuro, 1), 0u);
    EXPECT_EQ(codePointStart(aEuro, 0), 0u);
    EXPECT_EQ(codePointStart(continuations, 3), 0u);
    EXPECT_EQ(codePointStart(continuations, 0), 0u);
    EXPECT_EQ(codePointStart("", 0), 0u);
    // A position past the end is taken as the end instead of reading outside the text.
    EXPECT_EQ(codePointStart(aEuro, 40), 1u);
}

TEST(Utf8Test, PopCodePointRemovesTrailingContinuationsAndTheirLead) {
    struct Case {
        std::string text;
        std::string left;
    };
    const Case cases[] = {
        {bytes({0x61, 0xC3, 0xA9}), "a"},       {bytes({0x61, 0x80}), ""},
        {bytes({0x80, 0x80, 0x80}), ""},        {"ab", "a"},
        {bytes({0x61, 0xE2, 0x82, 0xAC}), "a"}, {"", ""},
    };
    for (Case c : cases) {
        const std::size_t size = popCodePoint(c.text);
        EXPECT_EQ(c.text, c.left);
        EXPECT_EQ(size, c.left.size());
    }
}

TEST(Utf8Test, AppendUtf8ChoosesTheFormBySizeAlone) {
    const std::pair<std::uint32_t, std::string> cases[] = {
        {0x7F, bytes({0x7F})},
        {0x80, bytes({0xC2, 0x80})},
        {0x7FF, bytes({0xDF, 0xBF})},
        {0x800, bytes({0xE0, 0xA0, 0x80})},
        {0x20AC, bytes({0xE2, 0x82, 0xAC})},
        {0xD800, bytes({0xED, 0xA0, 0x80})},
        {0xFFFF, bytes({0xEF, 0xBF, 0xBF})},
        {0x10000, bytes({0xF0, 0x90, 0x80, 0x80})},
        {0x10FFFF, bytes({0xF4, 0x8F, 0xBF, 0xBF})},
        {0x1FFFFF, bytes({0xF7, 0xBF, 0xBF, 0xBF})},
        {0x200000, bytes({0xF8, 0x80, 0x80, 0x80})},
        {0xFFFFFFFF, bytes({0xFF, 0xBF, 0xBF, 0xBF})},
    };
    for (const auto& [v, expected] : cases) {
        std::string text = "x";
        appendUtf8(text, v);
        EXPECT_EQ(text, "x" + expected) << std::hex << v;
    }
}

TEST(Utf8Test, EveryValueUpTo0x1FFFFFComesBackThroughTheDecoder) {
    std::string text;
    for (std::uint32_t v = 0; v <= 0x1FFFFF; ++v) {
        text.clear();
        appendUtf8(text, v);
        std::size_t pos = 0;
        const std::uint32_t back = nextCodePoint(text, pos);
        if (back != v || pos != text.size() || codePointEnd(text, 0) != text.size()) {
            ADD_FAILURE() << "value " << std::hex << v << " came back as " << back;
            return;
        }
    }
}

TEST(FontTest, GlyphIndexMapsAsciiTableEntriesAndTheRestToTheQuestionMark) {
    const std::pair<std::uint32_t, int> cases[] = {
        {32, 0},       {126, 94},   {63, 31},      {127, 31},     {0xA0, 95},       {0xA4, 31},
        {0xC9, 31},    {0xE9, 117}, {0xF0, 31},    {0xF7, 130},   {0x2665, 150},    {0x2717, 152},
        {0x1F600, 31}, {'\t', 31},  {'\n', 31},    {0, 31},       {0x80, 31},       {0x9F, 31},
        {0xE7, 115},   {0xFD, 136}, {0x20AC, 145}, {0x2190, 146}, {0xFFFFFFFF, 31},
    };
    for (const auto& [v, glyph] : cases)
        EXPECT_EQ(glyphIndex(v), glyph) << std::hex << v;
}

TEST(FontTest, FontDrawsAllTellsTextItDrawsFromTextWithAQuestionMarkInPlace) {
    const struct {
        const char* text;
        bool drawn;
    } cases[] = {
        {"", true},
        {"Connection refused", true},
        {"caf\u00e9 (why?)", true},
        {"\u0421\u043e\u0435\u0434\u0438\u043d\u0435\u043d\u0438\u0435", false},
        {"\u63a5\u7d9a\u3002", false},
        {"tab\there", false},
        {"cut \xE6\x96", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fontDrawsAll(c.text), c.drawn) << c.text;
}

TEST(FontTest, GlyphIndexAgreesWithALinearSearchEverywhere) {
    for (std::uint32_t v = 0; v < 0x30000; ++v) {
        int expected = 31;
        if (v >= 32 && v <= 126) expected = int(v) - 32;
        for (int i = 0; i < fontCodePointCount; ++i)
            if (fontCodePoints[i] == v) expected = 95 + i;
        if (glyphIndex(v) != expected) {
            ADD_FAILURE() << "code point " << std::hex << v << ": glyph " << std::dec
                          << glyphIndex(v) << ", expected " << expected;
            return;
        }
    }
}

TEST(FontTest, CodePointTableIsTheFontsRepertoireInAscendingOrder) {
    std::vector<std::uint32_t> expected = {0xA0, 0xA1, 0xA2, 0xA3, 0xA5, 0xA9, 0xAE,
                                           0xB0, 0xB1, 0xB7, 0xBF, 0xD7, 0xDF};
    for (std::uint32_t v = 0xE0; v <= 0xEF; ++v)
        expected.push_back(v);
    for (std::uint32_t v = 0xF1; v <= 0xFD; ++v)
        expected.push_back(v);
    for (std::uint32_t v : {0x2013, 0x2014, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2026, 0x20AC,
                            0x2190, 0x2191, 0x2192, 0x2193, 0x2665, 0x2713, 0x2717})
        expected.push_back(v);
    ASSERT_EQ(expected.size(), std::size_t(fontCodePointCount));
    EXPECT_THAT(std::vector<std::uint32_t>(fontCodePoints, fontCodePoints + fontCodePointCount),
                ElementsAreArray(expected));
    for (int i = 1; i < fontCodePointCount; ++i)
        EXPECT_LT(fontCodePoints[i - 1], fontCodePoints[i]) << "entry " << i;
    EXPECT_EQ(sizeof(fontGlyphs), 1224u);
}

std::vector<int> glyphRows(int g) {
    return std::vector<int>(fontGlyphs + 8 * g, fontGlyphs + 8 * g + 8);
}

TEST(FontTest, TellingGlyphsHaveTheirExactRows) {
    const std::pair<int, std::vector<int>> cases[] = {
        {0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {31, {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00}},
        {33, {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00}},
        {65, {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0x00}},
        {145, {0x06, 0x08, 0x1E, 0x08, 0x1E, 0x08, 0x06, 0x00}},
        {146, {0x00, 0x04, 0x08, 0x1F, 0x08, 0x04, 0x00, 0x00}},
        {150, {0x00, 0x0A, 0x1F, 0x1F, 0x0E, 0x04, 0x00, 0x00}},
        {151, {0x00, 0x01, 0x02, 0x12, 0x0C, 0x00, 0x00, 0x00}},
        {152, {0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x00, 0x00}},
    };
    for (const auto& [g, rows] : cases)
        EXPECT_EQ(glyphRows(g), rows) << "glyph " << g;
}

TEST(FontTest, GlyphsKeepTheShapeRules) {
    const std::set<int> descenders = {glyphIndex('g'), glyphIndex('j'), glyphIndex('p'),
                                      glyphIndex('q'), glyphIndex('y'), glyphIndex(0xE7),
                                      glyphIndex(0xFD)};
    const std::set<int> blank = {glyphIndex(' '), glyphIndex(0xA0)};
    std::set<std::vector<int>> seen;
    for (int g = 0; g < fontGlyphCount; ++g) {
        const std::vector<int> rows = glyphRows(g);
        bool inked = false;
        for (int row : rows) {
            EXPECT_EQ(row & 0xE0, 0) << "glyph " << g << " uses bits beyond the 5 columns";
            inked = inked || row != 0;
        }
        EXPECT_EQ(rows[7] != 0, descenders.count(g) == 1) << "row 7 of glyph " << g;
        EXPECT_EQ(inked, blank.count(g) == 0) << "glyph " << g;
        // Two characters drawn alike could not be told apart; only the two spaces may be.
        if (blank.count(g) == 0) {
            EXPECT_TRUE(seen.insert(rows).second) << "glyph " << g;
        }
    }
}

} // namespace
} // namespace qv::launcher
