// The Win32 side of the log: consoles show ANSI colour escapes only once virtual terminal
// processing is on, and local time comes from the C runtime's checked conversion.
#include "base/log_os.h"

#include <windows.h>

namespace qv::launcher {

namespace {

void enableEscapes(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE) return;
    // A pipe, a file or a missing console fails GetConsoleMode and is left as it is; the
    // escapes are written there all the same.
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

} // namespace

void setUpConsole() {
    enableEscapes(STD_OUTPUT_HANDLE);
    enableEscapes(STD_ERROR_HANDLE);
}

bool localTime(std::time_t t, std::tm& out) {
    // localtime_s fills the structure with -1 when it refuses a time; the caller's zeroed
    // structure must stay all zero then.
    std::tm converted{};
    if (localtime_s(&converted, &t) != 0) return false;
    out = converted;
    return true;
}

} // namespace qv::launcher
