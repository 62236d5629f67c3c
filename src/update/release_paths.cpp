// Which release paths a game folder can hold on the launcher's own platform, win64, whatever
// system the launcher is built on: a release is judged before anything is downloaded, so one
// that could never be installed fails once, plainly, instead of half-installing on every run.
#include <array>
#include <filesystem>
#include <map>
#include <string_view>

#include "base/platform.h"
#include "base/text.h"
#include "update/case_os.h"
#include "update/manifest.h"

namespace qv::launcher {

namespace {

// The length of a valid UTF-8 name in UTF-16 units, as Windows counts it against its limit of
// 255: one unit per code point, two for one beyond the Basic Multilingual Plane (4 bytes).
std::size_t utf16Length(std::string_view name) {
    std::size_t units = 0;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Device names stay devices with any extension and in any letter case; the folded base name
// (before the first dot, blanks at its end dropped) is compared. The digits include the
// superscripts one to three, which Windows reads as digits here.
bool isWindowsDevice(std::string base) {
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                                 "NUL", "CONIN$", "CONOUT$"};
    for (const std::string_view name : kDevices) {
        if (base == name) return true;
    }
    if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
        return false;
    const std::string_view digit = std::string_view(base).substr(3);
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\u00B9" ||
           digit == "\u00B2" || digit == "\u00B3";
}

// Why the component cannot be a file or folder name in a Windows game folder; null when it can.
const char* windowsNameProblem(std::string_view component) {
    if (utf16Length(component) > 255) return "a name longer than Windows allows";
    const char last = component.back();
    if (last == '.' || last == ' ') return "a name ending in a dot or a blank";
    for (const char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos)
            return "a character Windows does not allow in names";
    }
    if (isWindowsDevice(foldCase(std::string(component.substr(0, component.find('.'))))))
        return "a device name on Windows";
    return nullptr;
}

// Names the launcher itself writes at the top of the game folder; the path (in folded form) may
// not use one, neither as a file nor as a folder.
bool isLaunchersOwn(const std::string& folded) {
    const std::string top = folded.substr(0, folded.find('/'));
    for (const char* record : {".INSTALLED", ".INSTALLING"}) {
        if (top == record || top == std::string(record) + ".PART") return true;
    }
    return false;
}

} // namespace

std::string foldCase(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size();) {
        // Only whole two- and three-byte sequences (the Basic Multilingual Plane) have an upper
        // case; ASCII goes the same way. Any other byte is copied as it is.
        const auto lead = static_cast<unsigned char>(path[i]);
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                                           : 0;
        bool whole = length > 0 && i + length <= path.size();
        std::uint32_t unit = length == 1 ? lead : length == 2 ? lead & 0x1Fu : lead & 0x0Fu;
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(path[i + k]);
            whole = (next & 0xC0) == 0x80;
            unit = (unit << 6) | (next & 0x3Fu);
        }
        // Overlong forms and surrogates are no characters: copied, not mapped.
        whole = whole && (length != 2 || unit >= 0x80) &&
                (length != 3 || (unit >= 0x800 && (unit < 0xD800 || unit > 0xDFFF)));
        if (!whole) {
            out += path[i++];
            continue;
        }
        appendUtf8(out, caseUpperUnit(static_cast<std::uint16_t>(unit)));
        i += length;
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
        // A file inside another file of the release, and a file or folder named like the
        // temporary copy the launcher makes of another file while placing it.
        for (std::size_t start = 0;;) {
            const std::size_t end = key.find('/', start);
            const bool whole = end == std::string::npos;
            const std::string prefix = key.substr(0, end);
            const auto outer = whole ? folded.end() : folded.find(prefix);
            if (outer != folded.end()) {
                error = "cannot install " + *path + " (inside the file " + *outer->second + ")";
                return false;
            }
            if (prefix.size() > 5 && prefix.compare(prefix.size() - 5, 5, ".PART") == 0) {
                const auto placed = folded.find(prefix.substr(0, prefix.size() - 5));
                if (placed != folded.end()) {
                    error = "cannot install " + *path + " (the name used while placing " +
                            *placed->second + ")";
                    return false;
                }
            }
            if (whole) break;
            start = end + 1;
        }
    }
    return true;
}

} // namespace qv::launcher
