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
    };
}

// The player's own file beside the swapped paths, which every update keeps.
inline const char* const kPlayersFile = "notes.txt";
inline const char* const kPlayersContent = "the player's own\n";

// The files by their paths as a folder that ignores case compares them; two spellings of one
// path (two files on a disk that tells case apart) show as such.
inline Files foldedNames(const Files& files) {
    Files out;
    for (const auto& [path, content] : files) {
        if (!out.emplace(foldCase(path), content).second) out[path + " (a second spelling)"];
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
