// The Win32 side of the base layer's file open and rename: narrow names are in the ANSI code page
// on Windows, so the UTF-8 name is converted and the file opened or moved by its wide name. Text
// that is not UTF-8 opens nothing rather than some other file.
#include "base/file_os.h"

#include "base/win32/refusal_win32.h"
#include "base/win32/wide_text.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace qv::launcher {

bool heldAgainstChange(const std::wstring& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (const DWORD access : {static_cast<DWORD>(DELETE), static_cast<DWORD>(FILE_WRITE_DATA)}) {
        const HANDLE handle = CreateFileW(file.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD why = GetLastError();
            return why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION;
        }
        CloseHandle(handle);
    }
    return false;
}

std::FILE* openFileNoInherit(const char* utf8Path, const char* mode) {
    std::wstring name;
    if (utf8Path == nullptr || !wideFromUtf8(utf8Path, name) || name.empty()) return nullptr;
    return openWideNoInherit(name.c_str(), mode);
}

bool renameFileWaiting(const char* utf8From, const char* utf8To) {
    std::wstring from;
    std::wstring to;
    if (utf8From == nullptr || utf8To == nullptr || !wideFromUtf8(utf8From, from) ||
        !wideFromUtf8(utf8To, to) || from.empty() || to.empty())
        return false;
    // A scanner or indexer opens a file just closed (the previous run's log) for a moment; the
    // rename is refused while it does, with a sharing violation, or "access denied" where the
    // file is about to be replaced. A program that keeps the file open (a log viewer) outlasts
    // the wait, and the caller goes on without the rename. "Access denied" for a folder this
    // process may not change is answered at once: waiting would only delay the window.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(3000);
    DWORD pauseMs = 10;
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
        const DWORD code = GetLastError();
        // Only a wait for another program's hold can end by itself.
        const bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
                          (code == ERROR_ACCESS_DENIED && heldAgainstChange(from));
        if (!held || Clock::now() >= giveUp) return false;
        Sleep(pauseMs);
        pauseMs = std::min<DWORD>(pauseMs * 2, 250);
    }
}

} // namespace qv::launcher
