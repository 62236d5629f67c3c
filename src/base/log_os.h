// What the log needs from the host: the one-time console preparation and a thread-safe local
// time conversion. The log file itself is opened through file_os.h.
#pragma once

#include <ctime>

namespace qv::launcher {

// Lets the console streams show ANSI colour escapes. Called once, before the first line.
void setUpConsole();

// Local broken-down time of t; false (and out untouched) when it cannot be converted.
bool localTime(std::time_t t, std::tm& out);

} // namespace qv::launcher
