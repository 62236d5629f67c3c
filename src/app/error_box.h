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
// Returns once the player has closed the box; without a desktop to show it on, at once.
void showErrorBox(const char* title, const std::string& message);

} // namespace qv::launcher
