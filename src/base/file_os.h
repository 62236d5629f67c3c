// Opening a file of the base layer by its UTF-8 name, on every host in a way that keeps the
// stream out of the processes the launcher starts: the game must not inherit the launcher's log,
// icon or screenshot; and the rename that moves the previous log aside.
#pragma once

#include <cstdio>

namespace qv::launcher {

// Opens the file with the fopen mode ("r", "w" or "a", optionally with "b"), not inheritable by
// started processes; null on failure.
std::FILE* openFileNoInherit(const char* utf8Path, const char* mode);

// Renames the file from one UTF-8 name to another, replacing a file at the new name, in one step
// and never by copying. Where the system says another program holds the file (a virus scanner
// on Windows), it is waited for a short, bounded time (about 3 s in all); any other refusal
// (a folder this process may not change) returns at once. False when it cannot be renamed.
bool renameFileWaiting(const char* utf8From, const char* utf8To);

} // namespace qv::launcher
