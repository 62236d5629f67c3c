#include "app/command_line.h"

#include <cstdlib>

namespace qv::launcher {

namespace {

const char* const kDefaultShotFile = "launcher.png";

// "--shot" takes seconds, optionally followed by ':' and a file name. atof makes anything that is
// not a number 0, which means the first frame.
void readShotValue(const std::string& value, CommandLine& line) {
    const std::size_t colon = value.find(':');
    line.shotTime = std::atof(value.substr(0, colon).c_str());
    line.shotPath = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    // "5:" names no file; writing to an empty name could only fail, so it means the default.
    if (line.shotPath.empty()) line.shotPath = kDefaultShotFile;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    const std::size_t n = arguments.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& option = arguments[i];
        const bool hasValue = i + 1 < n;
        if (option == "--server") {
            if (!hasValue) continue;
            line.serverGiven = true;
            line.server = arguments[++i];
        } else if (option == "--shot") {
            if (!hasValue) continue;
            readShotValue(arguments[++i], line);
        } else if (option == "--install") {
            line.installRequested = true;
        } else if (option == "--verify") {
            line.verifyPending = true;
        } else if (option == "--no-self-update" || option == "--updated") {
            line.allowSelfUpdate = false;
        }
    }
    return line;
}

std::vector<std::string> restartArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> passed;
    for (const std::string& argument : arguments) {
        if (argument != "--updated") passed.push_back(argument);
    }
    return passed;
}

} // namespace qv::launcher
