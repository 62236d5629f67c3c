// What the platform helpers need from the operating system, one small function each; the
// portable side in platform.cpp builds on these, and each host implements them in its own
// folder (posix/ here, win32/ beside it).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::launcher {

// Starts the executable with the arguments (already checked and converted to native paths) in
// the working folder, in a new process group, without handing on any descriptor or handle
// beyond the standard three, and without waiting. Returns 0 once the process exists, otherwise
// the system's error code. Signals the launcher ignores are at the system's default in the
// started process. With watched given, a started process is not let go of: watched receives
// it, and osWatchProcess must be called on it exactly once.
unsigned long osStartProcess(const std::filesystem::path& executable,
                             const std::vector<std::filesystem::path>& arguments,
                             const std::filesystem::path& workingFolder,
                             std::intptr_t* watched = nullptr);

// Waits at most bound for a process that osStartProcess handed over to end, then lets go of it
// (one still running goes on running). Returns how it ended ("exit 127", "signal 11",
// "status 0xC0000135") when the system's loader or a crash ended it within the bound; empty when
// it still runs, ended with an ordinary exit code, or the system cannot tell.
std::string osWatchProcess(std::intptr_t process, std::chrono::milliseconds bound);

// Whether an error code of osStartProcess says that the system refused the file itself as a
// program, so that any later start of it fails the same way.
bool osRefusesProgram(unsigned long code);

// Full path of the running executable as the system named it when the program started, each
// name in its long form; empty when the system cannot tell.
std::filesystem::path osSelfPath();

// Hands the folder to the desktop's file manager without waiting; failures are silent.
void osOpenFolder(const std::filesystem::path& folder);

// Makes writes to a pipe or socket whose reader has gone fail with an error instead of ending
// the process; started programs get the system's default back (osStartProcess).
void osIgnoreBrokenPipe();

// Gives the file whatever the host needs for it to run as a program; failures are silent.
void osMakeExecutable(const std::filesystem::path& file);

// The program's arguments after the program name, as UTF-8 text. Hosts whose main receives
// them in another encoding read them from the system instead of argv.
std::vector<std::string> osCommandLineArguments(int argc, char** argv);

// One argument in the form written into a single command line, so that the standard splitting
// of that line gives the argument back exactly. Hosts that start processes from one command
// line quote every element with it; hosts that take an argument vector have no need of it.
std::wstring quoteArgument(const std::wstring& argument);

} // namespace qv::launcher
