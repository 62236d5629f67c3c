// Opening a file of the base layer by its UTF-8 name, on every host in a way that keeps the
// stream out of the processes the launcher starts: the game must not inherit the launcher's log,
// icon or screenshot.
#pragma once

#include <cstdio>

namespace qv::launcher {

// Opens the file with the fopen mode ("r", "w", optionally with "b"), not inheritable by started
// processes; null on failure.
std::FILE* openFileNoInherit(const char* utf8Path, const char* mode);

} // namespace qv::launcher
