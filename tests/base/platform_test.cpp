// Path conversions and command-line quoting, the same on every host.
#include "base/platform.h"
#include "base/platform_os.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;
using namespace qv::launcher;

namespace {

// Splits one quoted command-line element back the way the Windows C runtime and
// CommandLineToArgvW do, so the quoting is checked against the rules it must invert.
std::wstring splitOne(const std::wstring& line) {
    std::wstring out;
    bool quoted = false;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == L'\\') {
            std::size_t n = 0;
            while (i < line.size() && line[i] == L'\\')
                ++n, ++i;
            if (i < line.size() && line[i] == L'"') {
                out.append(n / 2, L'\\');
                if (n % 2 == 1) {
                    out += L'"';
                    ++i;
                }
            } else {
                out.append(n, L'\\');
            }
        } else if (line[i] == L'"') {
            quoted = !quoted;
            ++i;
        } else if (!quoted && (line[i] == L' ' || line[i] == L'\t')) {
            ADD_FAILURE() << "unquoted blank splits the element";
            return out;
        } else {
            out += line[i++];
        }
    }
    EXPECT_FALSE(quoted) << "element left inside quotes";
    return out;
}

} // namespace

TEST(QuoteArgument, WritesEachArgumentSoThatSplittingGivesItBack) {
    const struct {
        std::wstring argument;
        std::wstring quoted;
    } cases[] = {
        {L"", L"\"\""},
        {L"plain", L"plain"},
        {L"C:\\games\\corvanthe\\", L"C:\\games\\corvanthe\\"},
        {L"line\nbreak\vtab-free", L"line\nbreak\vtab-free"},
        {L"two words", L"\"two words\""},
        {L"tab\there", L"\"tab\there\""},
        {L"ends in\\", L"\"ends in\\\\\""},
        {L"ends in two\\\\", L"\"ends in two\\\\\\\\\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"\"", L"\"\\\"\""},
        {L"C:\\Program Files\\a\\\\b", L"\"C:\\Program Files\\a\\\\b\""},
        {L"--server=http://x y/", L"\"--server=http://x y/\""},
    };
    for (const auto& c : cases) {
        const std::wstring quoted = quoteArgument(c.argument);
        EXPECT_EQ(quoted, c.quoted);
        EXPECT_EQ(splitOne(quoted), c.argument);
    }
}

TEST(Utf8Paths, ValidTextRoundTripsUnchanged) {
    const char* const bom = "\xEF\xBB\xBF";
    const std::string cases[] = {
        "",
        "game/corvanthe.exe",
        "a//b/./c/",
        "K\xC3\xA4se/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80",
        "\xEF\xBF\xBF\xF4\x8F\xBF\xBF", // U+FFFF and U+10FFFF, the highest of their lengths
        std::string(bom) + "bom",
    };
    for (const std::string& text : cases) {
        const fs::path path = pathFromUtf8(text);
        EXPECT_EQ(toUtf8(path), text);
        EXPECT_EQ(path.empty(), text.empty());
    }
    // A leading byte-order mark is an ordinary character of the name.
    EXPECT_EQ(pathFromUtf8(std::string(bom) + "bom").u32string(), U"\uFEFFbom");
    EXPECT_EQ(pathFromUtf8("x/\xF0\x9F\x98\x80").filename().u32string(), U"\U0001F600");
}

TEST(Utf8Paths, MalformedTextIsRejectedWithTheConversionError) {
    const std::string cases[] = {
        "\x80",                    // continuation byte alone
        "ab\xC3",                  // cut off at the end
        "\xE6\x97(",               // cut off before an ASCII byte
        "\xC0\xAF",                // overlong '/'
        "\xC1\xBF",                // overlong
        "\xE0\x80\xAF",            // overlong three-byte form
        "\xF0\x8F\xBF\xBF",        // overlong four-byte form
        "\xED\xA0\x80",            // high surrogate
        "\xED\xBF\xBF",            // low surrogate
        "\xF4\x90\x80\x80",        // above U+10FFFF
        "\xF5\x80\x80\x80",        // lead byte beyond the range
        "\xFF",                    // never valid
        "ok/\xE2\x82\xAC\xE2\x82", // a good character, then a cut one
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        try {
            pathFromUtf8(text);
            ADD_FAILURE() << "accepted";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(std::errc::illegal_byte_sequence));
            EXPECT_NE(std::string(error.what()).find("Cannot convert character sequence"),
                      std::string::npos)
                << error.what();
        }
    }
}
