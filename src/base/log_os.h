// What the log needs from the host: the one-time console preparation, a thread-safe local
// time conversion and a file open that keeps the stream out of started processes.
#pragma once

#include <cstdio>
#include <ctime>

namespace qv::launcher {

// Lets the console streams show ANSI colour escapes. Called once, before the first line.
void setUpConsole();

// Local broken-down time of t; false (and out untouched) when it cannot be converted.
bool localTime(std::time_t t, std::tm& out);

// Opens the UTF-8 named file for writing as text, truncating it, so that no started
// process inherits it; null on failure.
std::FILE* openLogFile(const char* utf8Path);

} // namespace qv::launcher
