// The start-up error box: the one place the launcher tells the player about a failure that stops
// it before its window can show anything.
#pragma once

#include <string>

namespace qv::launcher {

// The box's caption.
inline constexpr const char* errorBoxTitle = "Corvanthe Launcher";

// Logs the message at error level, then shows it in the error box.
void showError(const std::string& message);

// The platform's error box: a modal message box with the error icon where the system has one.
// Returns when the box is done with; it never waits on a desktop that is not there.
void showErrorBox(const char* title, const std::string& message);

} // namespace qv::launcher
