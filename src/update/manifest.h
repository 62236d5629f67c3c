// The release manifest: the version, the platform, the launcher's own
// executable and every file of the game folder with its content hash, size
// and the size of its compressed object on the update server. The reader is
// given the body of a signed text after it verified; it and the writer never
// log.
//
// Text form (lines end with a line feed, the last may lack it):
//   corvanthe-manifest 1
//   platform <name>
//   version <version>
//   launcher <hash> <size> <packed size>
//   file <hash> <size> <packed size> <path to the end of the line>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv::launcher {

// One file of a release.
struct Entry {
    std::string hash;       // 64 hex digits as the manifest wrote them; releases write lower case
    std::uint64_t size = 0; // uncompressed bytes
    std::uint64_t packedSize = 0; // bytes of the compressed object on the server
    std::string path; // relative, "/"-separated UTF-8 below the game folder; empty for launcher
};

struct Manifest {
    std::string platform;     // "" when the manifest names none
    std::string version;      // never empty in a manifest that parsed
    Entry launcher;           // all empty or 0 when there is no "launcher" line
    std::vector<Entry> files; // in text order, no two paths equal byte for byte

    // The first file whose path equals path byte for byte, or null.
    const Entry* find(const std::string& path) const;
};

// a + b, or the largest value where the sum would wrap: sizes come from the server and may be
// anything, and a sum of them must never come out small.
inline std::uint64_t addSaturated(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Reads a manifest text into manifest (reset first). On false, error receives
// a short lower-case message and manifest is unusable; on true error is left
// as it was.
bool parseManifest(const std::string& text, Manifest& manifest, std::string& error);

// A non-empty relative path of non-empty "/"-separated components, none "."
// or "..", with no "\", no ":" and no byte below 0x20. Other bytes, UTF-8
// included, are allowed and not checked further.
bool isSafeRelativePath(const std::string& path);

// The path as Windows compares names ignoring letter case: every character of the Basic
// Multilingual Plane replaced by its upper case in Windows' own table (case_os.h); characters
// beyond it and bytes that are not whole UTF-8 characters unchanged. Two paths name one file
// there exactly when their folded forms are equal.
std::string foldCase(const std::string& path);

// True when a game folder on win64 can hold every file of the release: every path valid UTF-8,
// no name Windows refuses (device names in any case and with any extension, a name ending in a
// dot or a blank, one of <>:"|?* or a control character, more than 255 UTF-16 units), none of the
// launcher's own records, no two paths equal when letter case is ignored, no file inside
// another file, no path that is another one with ".part" appended. Otherwise error names the
// first path found and why: "cannot install <path> (<reason>)".
bool checkInstallable(const Manifest& release, std::string& error);

// The manifest text, every line ended by a line feed, ready to be signed.
// Nothing is validated or changed; a launcher entry without a hash is left out.
std::string writeManifest(const Manifest& manifest);

} // namespace qv::launcher
