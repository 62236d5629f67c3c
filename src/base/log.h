// The launcher's one diagnostic channel: printf-style lines at four levels, coloured on the
// console and, while a log file is open, stamped with the wall-clock time in "latest.log".
// Process-wide and thread-safe; the level calls never fail towards their callers.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QV_PRINTF_FORMAT(formatIndex, firstArgument)                                               \
    __attribute__((format(printf, formatIndex, firstArgument)))
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
