// The launcher's command line: what one run was asked to do, and the arguments a self-update
// restart hands on to the new launcher.
#pragma once

#include <string>
#include <vector>

namespace qv::launcher {

// What the options asked for. Options are whole, case-sensitive words; an option that takes a
// value uses the next argument as it is and skips it; anything else is ignored; the last of a
// repeated option wins.
struct CommandLine {
    bool serverGiven = false; // "--server" URL: replaces the update server for this run
    std::string server;
    bool installRequested = false; // "--install": install by itself when nothing is installed
    bool verifyPending = false;    // "--verify": one verifying update once up to date
    bool allowSelfUpdate = true;   // cleared by "--no-self-update" and "--updated"
    double shotTime = -1.0;        // "--shot" seconds[:file]: GLFW time of the screenshot, -1 none
    std::string shotPath;          // the screenshot's file, relative to the current folder
};

// Reads the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The arguments a restart after a self-update passes on: all of them, in order, without any
// "--updated" (the self-update adds exactly one itself).
std::vector<std::string> restartArguments(const std::vector<std::string>& arguments);

} // namespace qv::launcher
