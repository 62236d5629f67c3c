#pragma once
// The player's choices kept between runs, in "launcher.cfg" in the launcher folder.

#include <filesystem>
#include <istream>
#include <string>

namespace qv::launcher {

struct LauncherSettings {
    std::string server;    // base URL of the update server; empty means the built-in default
    std::string testerKey; // playtester key; empty means no key, and so the Live channel
    bool testing = false;  // the Testing channel was chosen
};

// Strips TAB, LF, CR and space from the end, then space and TAB from the start.
std::string trim(std::string text);

// Reads settings lines from a stream; what does not follow the format is skipped.
LauncherSettings parseSettings(std::istream& in);

// Never fails: a missing or unreadable file gives the defaults.
LauncherSettings loadSettings(const std::filesystem::path& launcherDir);

// Replaces the whole file in one step: a reader, or the next start after a crash, finds either
// the old settings or the new ones. A write that fails is logged as a warning with its reason;
// the record in memory keeps the new values for the rest of the run.
void saveSettings(const std::filesystem::path& launcherDir, const LauncherSettings& settings);

} // namespace qv::launcher
