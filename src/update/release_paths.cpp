// Which release paths a game folder can hold on the launcher's own platform, win64, whatever
// system the launcher is built on: a release is judged before anything is downloaded, so one
// that could never be installed fails once, plainly, instead of half-installing on every run.
#include <array>
#include <filesystem>
#include <map>
#include <string_view>

#include "base/platform.h"
#include "update/manifest.h"

namespace qv::launcher {

namespace {

// The lower-case partner of a two-byte code point, for the blocks whose letters Windows' own
// case table pairs one to one; other code points are their own.
std::uint32_t lowerTwoByte(std::uint32_t c) {
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c == 0x178) return 0xFF;
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    if ((oddUpper && c % 2 == 1) || (evenUpper && c % 2 == 0)) return c + 1;
    return c;
}

// Why the component cannot be a file or folder name in a Windows game folder; null when it can.
const char* windowsNameProblem(std::string_view component) {
    if (component.size() > 255) return "a name longer than 255 bytes";
    const char last = component.back();
    if (last == '.' || last == ' ') return "a name ending in a dot or a blank";
    for (const char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos)
            return "a character Windows does not allow in names";
    }
    // Device names stay devices with any extension and in any letter case.
    std::string base = foldCase(std::string(component.substr(0, component.find('.'))));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static constexpr std::array<std::string_view, 4> kDevices = {"con", "prn", "aux", "nul"};
    bool device = base.size() == 4 &&
                  (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
                  base[3] >= '1' && base[3] <= '9';
    for (const std::string_view name : kDevices)
        device = device || base == name;
    return device ? "a device name on Windows" : nullptr;
}

// Names the launcher itself writes at the top of the game folder; the path (in folded form) may
// not use one, neither as a file nor as a folder.
bool isLaunchersOwn(const std::string& folded) {
    const std::string top = folded.substr(0, folded.find('/'));
    for (const char* record : {".installed", ".installing"}) {
        if (top == record || top == std::string(record) + ".part") return true;
    }
    return false;
}

} // namespace

std::string foldCase(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto lead = static_cast<unsigned char>(path[i]);
        if (lead >= 'A' && lead <= 'Z') {
            out += static_cast<char>(lead + 32);
            continue;
        }
        const bool twoByte = (lead & 0xE0) == 0xC0 && i + 1 < path.size() &&
                             (static_cast<unsigned char>(path[i + 1]) & 0xC0) == 0x80;
        if (!twoByte) {
            out += path[i];
            continue;
        }
        const std::uint32_t c =
            ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(path[++i]) & 0x3Fu);
        const std::uint32_t lower = lowerTwoByte(c);
        out += static_cast<char>(0xC0 | (lower >> 6));
        out += static_cast<char>(0x80 | (lower & 0x3F));
    }
    return out;
}

bool checkInstallable(const Manifest& release, std::string& error) {
    std::map<std::string, const std::string*> folded; // folded path -> path as listed
    for (const Entry& entry : release.files) {
        const std::string& path = entry.path;
        const char* problem = nullptr;
        try {
            pathFromUtf8(path);
        } catch (const std::filesystem::filesystem_error&) {
            problem = "not valid UTF-8";
        }
        for (std::size_t start = 0; !problem && start <= path.size();) {
            std::size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            problem = windowsNameProblem(std::string_view(path).substr(start, end - start));
            start = end + 1;
        }
        const std::string key = foldCase(path);
        if (!problem && isLaunchersOwn(key)) problem = "a name the launcher keeps for itself";
        if (problem) {
            error = "cannot install " + path + " (" + problem + ")";
            return false;
        }
        const auto [at, added] = folded.emplace(key, &path);
        if (!added) {
            error = "cannot install " + path + " (the same file as " + *at->second +
                    " where letter case is ignored)";
            return false;
        }
    }
    for (const auto& [key, path] : folded) {
        // A file inside another file of the release, and a file beside one named like the
        // temporary copy the launcher makes of it while placing it.
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            const auto outer = folded.find(key.substr(0, slash));
            if (outer != folded.end()) {
                error = "cannot install " + *path + " (inside the file " + *outer->second + ")";
                return false;
            }
        }
        if (key.size() > 5 && key.compare(key.size() - 5, 5, ".part") == 0) {
            const auto placed = folded.find(key.substr(0, key.size() - 5));
            if (placed != folded.end()) {
                error = "cannot install " + *path + " (the name used while placing " +
                        *placed->second + ")";
                return false;
            }
        }
    }
    return true;
}

} // namespace qv::launcher
