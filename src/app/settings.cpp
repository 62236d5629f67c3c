#include "app/settings.h"

#include <fstream>

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
    std::ofstream out(launcherDir / kSettingsFileName, std::ios::out | std::ios::trunc);
    out << "# Corvanthe launcher settings. Written by the launcher.\n";
    if (!settings.server.empty()) out << "server = " << settings.server << "\n";
    // The channel is only meaningful together with a key: without one the client follows Live.
    if (!settings.testerKey.empty()) {
        out << "tester_key = " << settings.testerKey << "\n";
        out << "channel = " << (settings.testing ? "testing" : "live") << "\n";
    }
}

} // namespace qv::launcher
