// The launcher's one diagnostic channel: printf-style lines at four levels, coloured on the
// console and, while a log file is open, stamped with the wall-clock time in "latest.log".
// Process-wide and thread-safe; the level calls never fail towards their callers.
#pragma once

// The lines are formatted by the C++ library's vsnprintf, which follows the GNU rules (%zu,
// %lld) with every compiler we build with; GCC's plain "printf" archetype would mean the
// Microsoft rules when it targets Windows. Clang knows only "printf", which it checks by the
// GNU rules.
#if defined(__clang__)
#define QV_PRINTF_FORMAT(formatIndex, firstArgument)                                               \
    __attribute__((format(printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#define QV_PRINTF_FORMAT(formatIndex, firstArgument)                                               \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define QV_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace qv::launcher {

// One line each: "info" and "warn" to standard output, "error" to standard error, "dbg" to
// standard output only when verbose (always to the file while one is open).
void logInfo(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
void logWarn(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
void logError(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
void logDebug(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

// Opens "latest.log" in the folder (UTF-8 text), first moving an earlier "latest.log" to a
// name dated with this opening's local time and then, when keep > 0, removing the smallest
// named ".log" files beyond keep. True when a log file was already open or is open now.
bool openLog(const char* folder, int keep);

// Flushes and closes the log file; afterwards lines reach the console only.
void closeLog();

// UTF-8 path of the open log file, empty when none; valid until the next openLog or closeLog.
const char* logFilePath();

// When true, "dbg" lines reach the console too.
void setLogVerbose(bool verbose);

} // namespace qv::launcher
