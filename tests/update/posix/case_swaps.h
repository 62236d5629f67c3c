// Releases that turn a file into a folder or a folder into a file in other letter case, or
// spell a path anew, which a game folder where names ignore case (Windows; an exFAT disk) must
// take in one update, each beside the same swap in the same spelling. Compared by the names as
// such a folder sees them: it may keep a folder's old spelling.
#pragma once

#include <string>
#include <vector>

#include "release_fixture.h"
#include "update/manifest.h"

namespace qv::launcher::test {

struct CaseSwap {
    const char* name;
    Files before; // installed first
    Files after;  // the update
};

inline std::vector<CaseSwap> caseSwaps() {
    const std::string exe = "the game\n";
    return {
        {"a file A becomes a folder a",
         {{"corvanthe.exe", exe}, {"A", "a file\n"}},
         {{"corvanthe.exe", exe}, {"a/b", "inside\n"}}},
        {"a folder a becomes a file A",
         {{"corvanthe.exe", exe}, {"a/b", "inside\n"}},
         {{"corvanthe.exe", exe}, {"A", "a file\n"}}},
        {"a folder Data becomes a file data",
         {{"corvanthe.exe", exe}, {"Data/x.pak", "x\n"}, {"Data/deep/y.pak", "y\n"}},
         {{"corvanthe.exe", exe}, {"data", "a file\n"}}},
        {"a file data becomes a folder Data",
         {{"corvanthe.exe", exe}, {"data", "a file\n"}},
         {{"corvanthe.exe", exe}, {"Data/x.pak", "x\n"}, {"Data/deep/y.pak", "y\n"}}},
        {"Data/File.pak is spelled data/file.pak, with new content",
         {{"corvanthe.exe", exe}, {"Data/File.pak", "level 1\n"}},
         {{"corvanthe.exe", exe}, {"data/file.pak", "level 2\n"}}},
        {"Data/File.pak is spelled data/file.pak, content kept",
         {{"corvanthe.exe", exe}, {"Data/File.pak", "level 1\n"}},
         {{"corvanthe.exe", exe}, {"data/file.pak", "level 1\n"}}},
        {"a file a becomes a folder a",
         {{"corvanthe.exe", exe}, {"a", "a file\n"}},
         {{"corvanthe.exe", exe}, {"a/b", "inside\n"}}},
        {"a folder data becomes a file data",
         {{"corvanthe.exe", exe}, {"data/x.pak", "x\n"}},
         {{"corvanthe.exe", exe}, {"data", "a file\n"}}},
        // One folder where names ignore case, which lists the spelling it was made with: the
        // dropped file goes whichever spelling its path gives the folder.
        {"data/x.pak beside Data/a is dropped",
         {{"corvanthe.exe", exe}, {"Data/a", "a\n"}, {"data/x.pak", "x\n"}},
         {{"corvanthe.exe", exe}, {"Data/a", "a\n"}}},
        {"Data/x.pak beside data/a is dropped",
         {{"corvanthe.exe", exe}, {"data/a", "a\n"}, {"Data/x.pak", "x\n"}},
         {{"corvanthe.exe", exe}, {"data/a", "a\n"}}},
        {"Readme.txt is spelled readme.txt",
         {{"corvanthe.exe", exe}, {"Readme.txt", "v1\n"}},
         {{"corvanthe.exe", exe}, {"readme.txt", "v2\n"}}},
        // Names that exFAT's own table folds and the launcher's keeps apart (final sigma), each
        // beside the same change in one spelling.
        {"\xCF\x82.txt is dropped for \xCF\x83.txt",
         {{"corvanthe.exe", exe}, {"\xCF\x82.txt", "final sigma\n"}},
         {{"corvanthe.exe", exe}, {"\xCF\x83.txt", "sigma\n"}}},
        {"\xCF\x83.txt gets new content",
         {{"corvanthe.exe", exe}, {"\xCF\x83.txt", "sigma 1\n"}},
         {{"corvanthe.exe", exe}, {"\xCF\x83.txt", "sigma 2\n"}}},
        {"data/\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82.txt is spelled "
         "data/\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3.txt",
         {{"corvanthe.exe", exe}, {"data/\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82.txt", "1\n"}},
         {{"corvanthe.exe", exe}, {"data/\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3.txt", "2\n"}}},
        {"a folder \xCF\x82 becomes a file \xCF\x83",
         {{"corvanthe.exe", exe}, {"\xCF\x82/x.pak", "x\n"}},
         {{"corvanthe.exe", exe}, {"\xCF\x83", "a file\n"}}},
        {"a folder \xCF\x83 becomes a file \xCF\x83",
         {{"corvanthe.exe", exe}, {"\xCF\x83/x.pak", "x\n"}},
         {{"corvanthe.exe", exe}, {"\xCF\x83", "a file\n"}}},
        {"a file \xCF\x82 becomes a folder \xCF\x83",
         {{"corvanthe.exe", exe}, {"\xCF\x82", "a file\n"}},
         {{"corvanthe.exe", exe}, {"\xCF\x83/x.pak", "x\n"}}},
    };
}

// The player's own file beside the swapped paths, which every update keeps.
inline const char* const kPlayersFile = "notes.txt";
inline const char* const kPlayersContent = "the player's own\n";

// A path as a folder that ignores case compares it: the launcher's table, and the final sigma
// that exFAT's table folds beside it.
inline std::string diskFolded(const std::string& path) {
    std::string out = foldCase(path);
    for (std::size_t at = out.find("\xCF\x82"); at != std::string::npos; at = out.find("\xCF\x82"))
        out.replace(at, 2, "\xCE\xA3");
    return out;
}

// The files by their paths as a folder that ignores case compares them; two spellings of one
// path (two files on a disk that tells case apart) show as such.
inline Files foldedNames(const Files& files) {
    Files out;
    for (const auto& [path, content] : files) {
        if (!out.emplace(diskFolded(path), content).second) out[path + " (a second spelling)"];
    }
    return out;
}

// What the folder must hold after the update: the release and the player's file.
inline Files foldedAfter(const CaseSwap& swap) {
    Files expected = swap.after;
    expected[kPlayersFile] = kPlayersContent;
    return foldedNames(expected);
}

} // namespace qv::launcher::test
