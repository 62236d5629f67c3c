#include "update/manifest.h"

#include <gtest/gtest.h>

#include <string>

using namespace qv::launcher;

namespace {

const std::string kHash = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
const std::string kUpperHash = "0E5751C026E543B2E8AB2EB06099DAA1D1E5DF47778F7787FAAB45CDF12FE3A8";
const std::string kMagic = "corvanthe-manifest 1\n";
const std::string kVersion = "version 1.0\n";

struct Parsed {
    bool ok = false;
    Manifest manifest;
    std::string error = "untouched";
};

Parsed parse(const std::string& text) {
    Parsed p;
    p.ok = parseManifest(text, p.manifest, p.error);
    return p;
}

void expectSameEntry(const Entry& a, const Entry& b) {
    EXPECT_EQ(a.hash, b.hash);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.packedSize, b.packedSize);
    EXPECT_EQ(a.path, b.path);
}

void expectSameManifest(const Manifest& a, const Manifest& b) {
    EXPECT_EQ(a.platform, b.platform);
    EXPECT_EQ(a.version, b.version);
    expectSameEntry(a.launcher, b.launcher);
    ASSERT_EQ(a.files.size(), b.files.size());
    for (std::size_t i = 0; i < a.files.size(); ++i)
        expectSameEntry(a.files[i], b.files[i]);
}

} // namespace

TEST(Manifest, FailuresNameTheirCause) {
    struct Case {
        const char* what;
        std::string text;
        std::string error;
    };
    const std::string fileLine = "file " + kHash + " 1 2 ";
    const Case cases[] = {
        {"empty text", "", "empty manifest"},
        {"empty first line", "\n" + kMagic + kVersion, "not a manifest this launcher can read"},
        {"leading blank", " " + kMagic + kVersion, "not a manifest this launcher can read"},
        {"trailing blank", "corvanthe-manifest 1 \n" + kVersion,
         "not a manifest this launcher can read"},
        {"carriage return", "corvanthe-manifest 1\r\n" + kVersion,
         "not a manifest this launcher can read"},
        {"format 2", "corvanthe-manifest 2\n" + kVersion, "not a manifest this launcher can read"},
        {"magic without line feed", "corvanthe-manifest 1", "manifest has no version"},
        {"magic alone", kMagic, "manifest has no version"},
        {"version without value", kMagic + "version\nversion \t\n", "manifest has no version"},
        {"line numbers count empty lines", kMagic + "\n" + kVersion + "file x\n",
         "bad file line 4"},
        {"line numbers count skipped lines",
         kMagic + "# about\n \t\nextra 1\n" + kVersion + fileLine + "\n", "bad file line 6"},
        {"first bad line ends the reading", kMagic + kVersion + fileLine + "a/../b\nlauncher x\n",
         "bad file line 3"},
        {"bad launcher before anything else", kMagic + "launcher\n" + fileLine + "..\n",
         "bad launcher line"},
        {"duplicate path", kMagic + kVersion + fileLine + "data/a b\n" + fileLine + "data/a b\n",
         "file listed twice: data/a b"},
        {"bad line beats a missing version", kMagic + fileLine + "/abs\n", "bad file line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = parse(c.text);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(Manifest, LauncherAndFileFieldsFollowTheNumberRules) {
    struct Case {
        std::string fields; // after the hash
        bool ok;
        std::uint64_t size = 0;
        std::uint64_t packedSize = 0;
        std::string path = {};
    };
    const Case cases[] = {
        {" 10 20 a", true, 10, 20, "a"},
        {"\t10\v20\f\r a", true, 10, 20, "a"},
        {" +10 +20 a", true, 10, 20, "a"},
        {" -1 -18446744073709551615 a", true, UINT64_MAX, 1, "a"},
        {" 18446744073709551615 0 a", true, UINT64_MAX, 0, "a"},
        {" 00000000000000000000000042 0 a", true, 42, 0, "a"},
        {" 10 20xyz", true, 10, 20, "xyz"},
        {" 10 20  inner  and trailing  ", true, 10, 20, "inner  and trailing  "},
        {" 18446744073709551616 0 a", false},
        {" 99999999999999999999 0 a", false},
        {" -18446744073709551616 0 a", false},
        {" + 10 20 a", false},
        {" +-10 20 a", false},
        {" 0x10 20 a", false},
        {" 10", false},
        {" 10 20", false},
        {" 10 20 ", false},
        {" ten 20 a", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.fields + "\"");
        const Parsed p = parse(kMagic + kVersion + "file " + kHash + c.fields + "\n");
        ASSERT_EQ(p.ok, c.ok) << p.error;
        if (!c.ok) {
            EXPECT_EQ(p.error, "bad file line 3");
            continue;
        }
        ASSERT_EQ(p.manifest.files.size(), 1u);
        EXPECT_EQ(p.manifest.files[0].size, c.size);
        EXPECT_EQ(p.manifest.files[0].packedSize, c.packedSize);
        EXPECT_EQ(p.manifest.files[0].path, c.path);
    }

    struct LauncherCase {
        std::string line;
        bool ok;
    };
    const LauncherCase launchers[] = {
        {"launcher " + kHash + " 5 6", true},
        {"launcher " + kHash + " 5 6xyz and words", true},
        {"launcher " + kHash.substr(1) + " 5 6", false},
        {"launcher " + kHash + "0 5 6", false},
        {"launcher " + kHash.substr(1) + "g 5 6", false},
        {"launcher " + kHash + " 5", false},
        {"launcher " + kHash + " 184467440737095516150 6", false},
        {"launcher", false},
    };
    for (const LauncherCase& c : launchers) {
        SCOPED_TRACE(c.line);
        const Parsed p = parse(kMagic + kVersion + c.line);
        EXPECT_EQ(p.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(p.manifest.launcher.hash, kHash);
            EXPECT_EQ(p.manifest.launcher.size, 5u);
            EXPECT_EQ(p.manifest.launcher.packedSize, 6u);
            EXPECT_EQ(p.manifest.launcher.path, "");
        } else {
            EXPECT_EQ(p.error, "bad launcher line");
        }
    }
}

TEST(Manifest, LinesInAnyOrderLaterOnesReplace) {
    const std::string text = kMagic +
                             "\n"
                             "  # a comment\n"
                             "\t \r\n"
                             "Version 9\n"
                             "corvanthe-manifest 1\n"
                             "file " +
                             kUpperHash +
                             " 3 4 Data/a\n"
                             "platform linux\n"
                             "  platform\twin64 extra words\n"
                             "platform\n"
                             "version 1.2 beta\n"
                             "launcher " +
                             kHash +
                             " 7 8\n"
                             "launcher " +
                             kHash +
                             " 70 80 trailing\n"
                             "file " +
                             kHash +
                             " 5 6 data/a\n"
                             "version";
    const Parsed p = parse(text);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.error, "untouched");
    EXPECT_EQ(p.manifest.platform, "win64");
    EXPECT_EQ(p.manifest.version, "1.2");
    EXPECT_EQ(p.manifest.launcher.size, 70u);
    EXPECT_EQ(p.manifest.launcher.packedSize, 80u);
    // Paths that differ only in case are different files; hashes keep their case.
    ASSERT_EQ(p.manifest.files.size(), 2u);
    EXPECT_EQ(p.manifest.files[0].path, "Data/a");
    EXPECT_EQ(p.manifest.files[0].hash, kUpperHash);
    EXPECT_EQ(p.manifest.files[1].path, "data/a");
}

TEST(Manifest, MinimalManifestHasEmptyParts) {
    Manifest manifest;
    manifest.platform = "stale";
    manifest.files.push_back({kHash, 1, 2, "old"});
    std::string error;
    ASSERT_TRUE(parseManifest(kMagic + "version 3", manifest, error));
    EXPECT_EQ(manifest.version, "3");
    EXPECT_EQ(manifest.platform, "");
    expectSameEntry(manifest.launcher, Entry{});
    EXPECT_TRUE(manifest.files.empty());
}

TEST(Manifest, SafeRelativePaths) {
    struct Case {
        std::string path;
        bool safe;
    };
    const Case cases[] = {
        {"a", true},
        {"bin/corvanthe.exe", true},
        {"my files/a b.txt", true},
        {" lead and trail ", true},
        {"...", true},
        {".hidden/..x/x..", true},
        {"Grüße/データ", true},
        {"\x7f\xff", true},
        {"", false},
        {"/a", false},
        {"a/", false},
        {"/", false},
        {"a//b", false},
        {"..", false},
        {"a/../b", false},
        {"a/..", false},
        {".", false},
        {"./a", false},
        {"a/./b", false},
        {"c:a", false},
        {"a:b", false},
        {"a\\b", false},
        {"a\r", false},
        {"a\tb", false},
        {"a\x1f", false},
        {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.path + "\"");
        EXPECT_EQ(isSafeRelativePath(c.path), c.safe);
        // The reader applies the same rule to every file line.
        const Parsed p = parse(kMagic + kVersion + "file " + kHash + " 1 2 " + c.path);
        // A path that begins with white space loses it to the field separator.
        if (c.path.empty() || c.path[0] != ' ') {
            EXPECT_EQ(p.ok, c.safe) << p.error;
        }
    }
}

TEST(Manifest, FindMatchesWholePathsByteForByte) {
    const Parsed p = parse(kMagic + kVersion + "file " + kHash + " 1 1 a/b\n" + "file " + kHash +
                           " 2 2 a/b2\n" + "file " + kHash + " 3 3 A/B\n");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.manifest.find("a/b"), &p.manifest.files[0]);
    EXPECT_EQ(p.manifest.find("a/b2"), &p.manifest.files[1]);
    EXPECT_EQ(p.manifest.find("A/B"), &p.manifest.files[2]);
    EXPECT_EQ(p.manifest.find("A/b"), nullptr);
    EXPECT_EQ(p.manifest.find("a/b "), nullptr);
    EXPECT_EQ(p.manifest.find("a/"), nullptr);
    EXPECT_EQ(p.manifest.find(""), nullptr);
}

TEST(Manifest, WriterAndReaderRoundTrip) {
    Manifest manifest;
    manifest.platform = "win64";
    manifest.version = "2024.06-rc1";
    manifest.files.push_back({kHash, 0, 8, "corvanthe.exe"});
    manifest.files.push_back({kUpperHash, UINT64_MAX, 12345, "data/levels/one two.pak "});

    const std::string text = writeManifest(manifest);
    EXPECT_EQ(text, "corvanthe-manifest 1\n"
                    "platform win64\n"
                    "version 2024.06-rc1\n"
                    "file " +
                        kHash +
                        " 0 8 corvanthe.exe\n"
                        "file " +
                        kUpperHash + " 18446744073709551615 12345 data/levels/one two.pak \n");
    Parsed p = parse(text);
    ASSERT_TRUE(p.ok) << p.error;
    expectSameManifest(p.manifest, manifest);

    manifest.launcher = {kHash, 9, 10, "never written"};
    const std::string withLauncher = writeManifest(manifest);
    EXPECT_EQ(std::count(withLauncher.begin(), withLauncher.end(), '\n'), 6);
    EXPECT_NE(withLauncher.find("\nlauncher " + kHash + " 9 10\nfile "), std::string::npos);
    p = parse(withLauncher);
    ASSERT_TRUE(p.ok) << p.error;
    manifest.launcher.path.clear();
    expectSameManifest(p.manifest, manifest);
}

namespace {

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

Manifest releaseOf(const std::vector<std::string>& paths) {
    Manifest m;
    m.version = "1";
    for (const std::string& path : paths) {
        Entry e;
        e.hash = kHash;
        e.path = path;
        m.files.push_back(e);
    }
    return m;
}

} // namespace

TEST(Manifest, InstallableOnWindowsOrRefusedNamingThePath) {
    const std::string longName(256, 'n');
    const struct {
        std::vector<std::string> paths;
        std::string error; // empty: installable
    } cases[] = {
        {{"corvanthe.exe", "data/level.pak", "Données/é.txt", std::string(255, 'n'), "con_x",
          "com10", "lpt10.txt", "a.b/c..d", "data/aux-info", "x.part", "data/.installed", "conin",
          "comx", "lpt\u2074", repeated("\u00e9", 128), repeated("\u20ac", 255)},
         ""},
        {{"z", "z/b"}, "cannot install z/b (inside the file z)"},
        {{"Z", "z/b/c"}, "cannot install z/b/c (inside the file Z)"},
        {{".installed"}, "cannot install .installed (a name the launcher keeps for itself)"},
        {{".Installed.part"},
         "cannot install .Installed.part (a name the launcher keeps for itself)"},
        {{".installing"}, "cannot install .installing (a name the launcher keeps for itself)"},
        {{".INSTALLED/x"}, "cannot install .INSTALLED/x (a name the launcher keeps for itself)"},
        {{"bad\xff.txt"}, "cannot install bad\xff.txt (not valid UTF-8)"},
        {{"d/" + longName},
         "cannot install d/" + longName + " (a name longer than Windows allows)"},
        {{repeated("\U0001D11E", 128)}, // two UTF-16 units each
         "cannot install " + repeated("\U0001D11E", 128) + " (a name longer than Windows allows)"},
        {{"con"}, "cannot install con (a device name on Windows)"},
        {{"data/NUL.txt"}, "cannot install data/NUL.txt (a device name on Windows)"},
        {{"Aux.tar.gz"}, "cannot install Aux.tar.gz (a device name on Windows)"},
        {{"com1"}, "cannot install com1 (a device name on Windows)"},
        {{"x/LPT9.log"}, "cannot install x/LPT9.log (a device name on Windows)"},
        {{"COM\u00b9"}, "cannot install COM\u00b9 (a device name on Windows)"},
        {{"lpt\u00b2.txt"}, "cannot install lpt\u00b2.txt (a device name on Windows)"},
        {{"d/Com\u00b3 .x"}, "cannot install d/Com\u00b3 .x (a device name on Windows)"},
        {{"COM0"}, "cannot install COM0 (a device name on Windows)"},
        {{"lpt0.bin"}, "cannot install lpt0.bin (a device name on Windows)"},
        {{"CONIN$"}, "cannot install CONIN$ (a device name on Windows)"},
        {{"x/conout$.log"}, "cannot install x/conout$.log (a device name on Windows)"},
        {{"prn /a"}, "cannot install prn /a (a name ending in a dot or a blank)"},
        {{"dots./a"}, "cannot install dots./a (a name ending in a dot or a blank)"},
        {{"what?.txt"}, "cannot install what?.txt (a character Windows does not allow in names)"},
        {{"a<b"}, "cannot install a<b (a character Windows does not allow in names)"},
        {{"p|q"}, "cannot install p|q (a character Windows does not allow in names)"},
        {{"s*"}, "cannot install s* (a character Windows does not allow in names)"},
        {{"q\"t"}, "cannot install q\"t (a character Windows does not allow in names)"},
        {{"data/Level.pak", "DATA/level.PAK"},
         "cannot install DATA/level.PAK (the same file as data/Level.pak where letter case is "
         "ignored)"},
        {{"Été.txt", "été.txt"},
         "cannot install été.txt (the same file as Été.txt where letter case is ignored)"},
        {{"a.bin", "A.bin.part"}, "cannot install A.bin.part (the name used while placing a.bin)"},
        {{"x", "x.part/y"}, "cannot install x.part/y (the name used while placing x)"},
        {{"d/a/X.PART/b/c", "d/a/x"},
         "cannot install d/a/X.PART/b/c (the name used while placing d/a/x)"},
    };
    for (const auto& c : cases) {
        std::string error = "untouched";
        EXPECT_EQ(checkInstallable(releaseOf(c.paths), error), c.error.empty()) << c.paths.back();
        EXPECT_EQ(error, c.error.empty() ? "untouched" : c.error);
    }
}

TEST(Manifest, FoldCaseAsWindowsComparesNames) {
    // Pairs Windows' own comparison of names (ordinal, ignoring case) sees as one file, and
    // pairs it keeps apart although other rules of case or normalisation would join them.
    const char* const one[][2] = {
        {"Data/LEVEL1.Pak", "data/level1.pak"},
        {"\u00c9T\u00c9 \u0141\u00d3D\u0179 \u0391\u0392\u0393 \u0414\u041e\u041c \u0401",
         "\u00e9t\u00e9 \u0142\u00f3d\u017a \u03b1\u03b2\u03b3 \u0434\u043e\u043c \u0451"},
        {"\u01c4", "\u01c6"}, // DŽ, dž
        {"\uff21", "\uff41"}, // fullwidth A, a
        {"\u0531", "\u0561"}, // Armenian
        {"\u0460", "\u0461"}, // Cyrillic omega
        {"\u01cd", "\u01ce"}, // A, a with caron
        {"\u1e00", "\u1e01"}, // A, a with ring below
        {"\u0386", "\u03ac"}, // Greek alpha with tonos
    };
    const char* const two[][2] = {
        {"\u0130", "\u0131"},                   // dotted capital I, dotless small i
        {"\u03c2", "\u03c3"},                   // final and medial sigma
        {"\u0131", "I"},       {"\u017f", "S"}, // long s
        {"\u00b5", "\u03bc"},                   // micro sign, Greek mu
        {"\u212a", "k"},                        // Kelvin sign
        {"\u00e9", "e\u0301"},                  // NFC and NFD spellings
        {"\u00df", "SS"},
    };
    for (const auto& [a, b] : one)
        EXPECT_EQ(foldCase(a), foldCase(b)) << a << " / " << b;
    for (const auto& [a, b] : two)
        EXPECT_NE(foldCase(a), foldCase(b)) << a << " / " << b;
    // Beyond the plane, and bytes that are no whole character, nothing changes.
    EXPECT_EQ(foldCase("\U0001D11E \xff\xc3 \xed\xa0\x80"), "\U0001D11E \xff\xc3 \xed\xa0\x80");
    std::string error;
    EXPECT_FALSE(checkInstallable(releaseOf({"\u01c4.txt", "\u01c6.txt"}), error));
    EXPECT_TRUE(checkInstallable(releaseOf({"\u0131.txt", "I.txt", "\u00e9", "e\u0301"}), error))
        << error;
}
