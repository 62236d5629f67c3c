#include "app/settings.h"

#include "base/log.h"
#include "base/platform.h"
#include "update/updater.h"

#include <cstdint>
#include <fstream>
#include <system_error>

namespace qv::launcher {

namespace {

const char* const kSettingsFileName = "launcher.cfg";

bool isTrailingBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool isLeadingBlank(char c) { return c == '\t' || c == ' '; }

} // namespace

std::string trim(std::string text) {
    size_t end = text.size();
    while (end > 0 && isTrailingBlank(text[end - 1])) --end;
    text.erase(end);
    size_t start = 0;
    while (start < text.size() && isLeadingBlank(text[start])) ++start;
    text.erase(0, start);
    return text;
}

LauncherSettings parseSettings(std::istream& in) {
    LauncherSettings settings;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string trimmed = trim(line);
        if (!trimmed.empty() && trimmed[0] == '#') continue;
        const std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key == "server") {
            settings.server = std::move(value);
        } else if (key == "tester_key") {
            settings.testerKey = std::move(value);
        } else if (key == "channel") {
            settings.testing = value == "testing";
        }
    }
    return settings;
}

LauncherSettings loadSettings(const std::filesystem::path& launcherDir) {
    std::ifstream in(launcherDir / kSettingsFileName);
    if (!in) return LauncherSettings{};
    return parseSettings(in);
}

void saveSettings(const std::filesystem::path& launcherDir, const LauncherSettings& settings) {
    std::string text = "# Corvanthe launcher settings. Written by the launcher.\n";
    if (!settings.server.empty()) text += "server = " + settings.server + "\n";
    // The channel is only meaningful together with a key: without one the client follows Live.
    if (!settings.testerKey.empty()) {
        text += "tester_key = " + settings.testerKey + "\n";
        text += "channel = " + std::string(settings.testing ? "testing" : "live") + "\n";
    }
    // Written whole beside the file and renamed over it: a crash or a power cut mid-write leaves
    // the previous settings, never a short file that loses the key and the server. What cannot
    // be written (a scanner holding the file past the wait, a full disk) leaves the choice in
    // effect for this run; the log says why it was not kept.
    const std::filesystem::path path = launcherDir / kSettingsFileName;
    std::error_code ec;
    if (!writeFileAtomic(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                         ec)) {
        logWarn("launcher: settings not saved: cannot write %s (%s)", toUtf8(path).c_str(),
                errorReason(ec).c_str());
    }
}

} // namespace qv::launcher
