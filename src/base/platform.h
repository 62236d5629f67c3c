// Path, shell and process helpers: the launcher's thin, stateless layer over the operating
// system wherever a path meets text, a folder is shown to the player, or a process is started.
// Nothing here logs; failures come back as an empty path, as false with an error text, or (for
// the text conversions) as std::filesystem::filesystem_error "Cannot convert character sequence".
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::launcher {

// The whole path as UTF-8 text; empty for an empty path. Throws filesystem_error with
// std::errc::illegal_byte_sequence when the path is not valid Unicode.
std::string toUtf8(const std::filesystem::path& path);

// A path naming exactly the given UTF-8 text (separators are left as written); empty for empty
// text. Malformed, cut-off, overlong, surrogate or out-of-range sequences throw filesystem_error
// with std::errc::illegal_byte_sequence. A leading byte-order mark is kept as U+FEFF.
std::filesystem::path pathFromUtf8(const std::string& text);

// The platform part of the release layout ("manifest-" + name + ".txt"): always "win64".
const char* platformName();

// The game executable's file name inside the game folder: always "corvanthe.exe".
const char* gameExecutableName();

// Shows the folder in the desktop's file manager. Returns at once; failures are not reported.
void openFolder(const std::filesystem::path& folder);

// Keeps the launcher alive when the reader of its console output has gone (a closed pipe): the
// log line is lost, the launcher is not. Called once at start-up, before the first log line.
void ignoreBrokenPipe();

// Lets the file be run as a program. Returns at once; failures are not reported.
void makeExecutable(const std::filesystem::path& file);

// Full path of the running launcher executable; empty on failure.
std::filesystem::path selfPath();

// The arguments after the program name, in order, as UTF-8 (none when argc is 0 or 1).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Starts the executable with exactly the given UTF-8 arguments in the working folder, in a
// process group of its own, inheriting no descriptor beyond standard input, output and error,
// and does not wait for it. On failure returns false and sets error to
// "could not start <file name> (error <code>)"; on success error is left untouched.
// refusedAsProgram, when given, then tells whether the system refused the file itself as a
// program (not one this system runs, not allowed to run, blocked by a virus scanner or an
// application-control policy), so that starting it again would fail again; a start that failed
// for any other reason (resources ran short, a file held for a moment) leaves it false.
// An argument that is not valid UTF-8 throws filesystem_error before anything is started.
bool startProcess(const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments,
                  const std::filesystem::path& workingFolder, std::string& error,
                  bool* refusedAsProgram = nullptr);

// startProcess, and once the process runs, a wait of at most watch on it: a program the system's
// loader cannot finish loading, or one that crashes at once, is known only when it ends. When it
// ended within the wait that way, returns true with endedAtStart telling how ("exit 127",
// "signal 11", "status 0xC0000135"); otherwise endedAtStart is left empty: still running at the
// end of the wait, or ended with an exit code of its own. The wait ends as soon as it ends.
bool startWatchedProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingFolder,
                         std::chrono::milliseconds watch, std::string& endedAtStart,
                         std::string& error, bool* refusedAsProgram = nullptr);

} // namespace qv::launcher
