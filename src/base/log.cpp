// The log: one process-wide writer behind four level calls, and the opening of "latest.log"
// with the rotation and pruning of its folder. Every line is flushed at once, so a crash
// loses nothing that was logged before it.
#include "base/log.h"

#include "base/file_os.h"
#include "base/log_os.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace qv::launcher {

namespace {

namespace fs = std::filesystem;

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// All of the state is guarded by logMutex() except logVerbose, which is only ever a flag.
// The path is kept as a plain owned buffer rather than a std::string so that it is constant-
// initialised with every compiler and valid before any start-up code runs.
constinit std::FILE* logFile = nullptr;
constinit std::unique_ptr<char[]> logPath;
const std::int64_t logStartTime = steadyNanoseconds();
constinit std::atomic<bool> logVerbose{false};

// Not every C++ library has a constant-initialised std::mutex (mingw-w64's winpthreads does not),
// so the lock is made on first use, which C++ makes safe however early and from whichever thread
// the first line comes. It is never destroyed: a thread still running at exit may log.
std::mutex& logMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}
constinit std::once_flag consoleSetUp;

// Messages carry text from outside (a server URL, a release's paths): a line break in one
// would forge a line of its own, a terminal escape would recolour the console. Each control
// byte is written as "\xHH"; everything else, UTF-8 included, stays as it is. out holds four
// bytes for each of text's.
void escapeControlBytes(const char* text, char* out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (; *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        if (byte >= 0x20 && byte != 0x7F) {
            *out++ = *text;
            continue;
        }
        *out++ = '\\';
        *out++ = 'x';
        *out++ = kHex[byte >> 4];
        *out++ = kHex[byte & 0xF];
    }
    *out = '\0';
}

void logWrite(std::FILE* console, const char* level, const char* colour, const char* format,
              va_list arguments) {
    std::call_once(consoleSetUp, setUpConsole);

    // Formatting happens on the caller's stack and outside the lock, so a slow format never
    // holds up the other threads' lines.
    char formatted[4096];
    if (format == nullptr || std::vsnprintf(formatted, sizeof formatted, format, arguments) < 0) {
        formatted[0] = '\0';
    }
    char message[4 * sizeof formatted];
    escapeControlBytes(formatted, message);

    std::lock_guard<std::mutex> lock(logMutex());
    const double elapsed = static_cast<double>(steadyNanoseconds() - logStartTime) / 1e9;

    if (std::strcmp(level, "dbg") != 0 || logVerbose.load(std::memory_order_relaxed)) {
        std::fprintf(console, "\x1b[90m[%7.3f]\x1b[0m %s%-5s\x1b[0m %s\n", elapsed, colour, level,
                     message);
        std::fflush(console);
    }

    if (logFile != nullptr) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        const auto seconds = static_cast<std::time_t>(now / 1000000000);
        const int milliseconds = static_cast<int>((now / 1000000) % 1000);
        std::tm local{};
        localTime(seconds, local);
        char clock[32];
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                      local.tm_sec, milliseconds);
        std::fprintf(logFile, "[%s] [%8.3f] %-5s %s\n", clock, elapsed, level, message);
        std::fflush(logFile);
    }
}

// Keeps at most keep ".log" files besides "latest.log", removing the smallest names first:
// the dated names sort by their time, so the oldest logs go.
void pruneLogs(const fs::path& folder, int keep) {
    std::vector<fs::path> logs;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& entry = it->path();
        if (entry.filename() != "latest.log" && entry.extension() == ".log") {
            logs.push_back(entry);
        }
    }
    std::sort(logs.begin(), logs.end());
    const auto limit = static_cast<std::size_t>(keep);
    if (logs.size() <= limit) return;
    const std::size_t excess = logs.size() - limit;
    for (std::size_t i = 0; i < excess; ++i) {
        std::error_code ignored;
        fs::remove(logs[i], ignored);
    }
}

bool openLogLocked(const char* folder, int keep) {
    const fs::path directory(std::u8string(reinterpret_cast<const char8_t*>(folder)));
    std::error_code ignored;
    fs::create_directories(directory, ignored);

    const fs::path latest = directory / "latest.log";
    const std::u8string utf8 = latest.u8string();
    // The previous run's log is named after this opening; an opening within the same second
    // replaces the dated file of the one before.
    std::tm local{};
    localTime(std::time(nullptr), local);
    char name[64];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d-%02d-%02d.log", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const std::u8string dated = (directory / name).u8string();
    std::error_code statusError;
    bool previousKept = false;
    if (fs::exists(latest, statusError)) {
        // A program that keeps the log open (a viewer following it) can refuse the rename for
        // as long as it runs. The previous run's log is often the one that shows what went
        // wrong, so it is then kept and this run's lines follow it.
        previousKept = !renameFileWaiting(reinterpret_cast<const char*>(utf8.c_str()),
                                          reinterpret_cast<const char*>(dated.c_str()));
    }

    if (keep > 0) pruneLogs(directory, keep);

    auto text = std::make_unique<char[]>(utf8.size() + 1);
    std::memcpy(text.get(), utf8.c_str(), utf8.size() + 1);
    std::FILE* file = openFileNoInherit(text.get(), previousKept ? "a" : "w");
    if (file != nullptr && previousKept) {
        std::fputs("----- the log above could not be moved aside; this run's log follows -----\n",
                   file);
        std::fflush(file);
    }
    if (file == nullptr && previousKept) {
        // A viewer that shares reading only refuses the appending too: this run logs to the
        // dated name beside it, appended to, so that nothing already there is lost. In a folder
        // this process may not write that fails as well, and the run has the console only.
        text = std::make_unique<char[]>(dated.size() + 1);
        std::memcpy(text.get(), dated.c_str(), dated.size() + 1);
        file = openFileNoInherit(text.get(), "a");
        if (file != nullptr) {
            std::fputs("----- latest.log could not be written; this run's log is this file -----\n",
                       file);
            std::fflush(file);
        }
    }
    if (file == nullptr) return false;
    logPath = std::move(text);
    logFile = file;
    return true;
}

} // namespace

void logInfo(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logWrite(stdout, "info", "\x1b[36m", format, arguments);
    va_end(arguments);
}

void logWarn(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logWrite(stdout, "warn", "\x1b[33m", format, arguments);
    va_end(arguments);
}

void logError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logWrite(stderr, "error", "\x1b[31m", format, arguments);
    va_end(arguments);
}

void logDebug(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logWrite(stdout, "dbg", "\x1b[90m", format, arguments);
    va_end(arguments);
}

bool openLog(const char* folder, int keep) {
    std::lock_guard<std::mutex> lock(logMutex());
    if (logFile != nullptr) return true;
    if (folder == nullptr || folder[0] == '\0') return false;
    try {
        return openLogLocked(folder, keep);
    } catch (...) {
        // Running out of memory while listing the folder must not stop the launcher; it goes on
        // with the console only.
        return false;
    }
}

void closeLog() {
    std::lock_guard<std::mutex> lock(logMutex());
    if (logFile != nullptr) {
        std::fflush(logFile);
        std::fclose(logFile);
        logFile = nullptr;
    }
    logPath.reset();
}

const char* logFilePath() {
    // Read under the lock so that a concurrent opening is never seen half-written.
    std::lock_guard<std::mutex> lock(logMutex());
    return logPath ? logPath.get() : "";
}

void setLogVerbose(bool verbose) {
    logVerbose.store(verbose, std::memory_order_relaxed);
}

} // namespace qv::launcher
