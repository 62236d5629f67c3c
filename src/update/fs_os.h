// The operating-system side of the updater's file writing: opening files by path without
// letting the game inherit them, and pushing written bytes and renames down to the disk, so
// that a power cut never leaves a file under its final name without its content.
#pragma once

#include <cstdio>
#include <filesystem>

namespace qv::launcher {

// Opens the file for reading its bytes unchanged; null when it cannot be opened (a name with a
// NUL inside opens nothing rather than a shorter name).
std::FILE* fsOpenRead(const std::filesystem::path& path);

// Creates or truncates the file for writing bytes unchanged; null when it cannot be opened, as
// for fsOpenRead.
std::FILE* fsOpenWrite(const std::filesystem::path& path);

// Makes the bytes already flushed from the stream's buffer durable. False when the system
// reports that they could not be written.
bool fsSyncFile(std::FILE* file);

// Makes the folder's entries (a rename just done in it) durable. Failures are ignored: the
// file's own content is already safe, only the name may fall back to its old one.
void fsSyncFolder(const std::filesystem::path& folder);

} // namespace qv::launcher
