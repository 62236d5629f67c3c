// UTF-8 and UTF-16 conversion by the system's own converter, and the one wide-name file open of
// the Win32 side.
#include "base/win32/wide_text.h"

#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace qv::launcher {

bool wideFromUtf8(std::string_view utf8, std::wstring& wide) {
    if (utf8.find('\0') != std::string_view::npos || utf8.size() > INT_MAX) return false;
    if (utf8.empty()) {
        wide.clear();
        return true;
    }
    // Without MB_ERR_INVALID_CHARS the converter would put U+FFFD in place of a bad sequence,
    // and the name would quietly become a different one.
    const int length = static_cast<int>(utf8.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    std::wstring converted(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, converted.data(),
                            needed) != needed) {
        return false;
    }
    wide = std::move(converted);
    return true;
}

std::string utf8FromWide(std::wstring_view wide) {
    if (wide.empty() || wide.size() > INT_MAX) return std::string();
    const int length = static_cast<int>(wide.size());
    // Without WC_ERR_INVALID_CHARS the converter puts U+FFFD in place of a lone surrogate.
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), needed, nullptr,
                            nullptr) != needed) {
        return std::string();
    }
    return utf8;
}

std::string systemMessageUtf8(unsigned long code) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) text = utf8FromWide(std::wstring_view(message, length));
    if (message != nullptr) LocalFree(message);
    return text;
}

std::FILE* openWideNoInherit(const wchar_t* name, const char* mode) {
    DWORD access = 0;
    DWORD disposition = 0;
    int flags = 0;
    if (mode[0] == 'r') {
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags = _O_RDONLY;
    } else if (mode[0] == 'w') {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags = _O_WRONLY;
    } else if (mode[0] == 'a') {
        // The C runtime moves to the end before each write of a descriptor opened to append.
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        flags = _O_WRONLY | _O_APPEND;
    } else {
        return nullptr;
    }
    const char* rest = mode + 1;
    if (std::strcmp(rest, "b") == 0) {
        flags |= _O_BINARY;
    } else if (rest[0] == '\0') {
        flags |= _O_TEXT;
    } else {
        return nullptr;
    }
    // Opened by the system's own call: no security attributes ask for inheritance, so no
    // started process receives the handle, and every kind of sharing is allowed, deleting and
    // renaming included. The log is open for the launcher's whole life, and a launcher started
    // while another still writes (the restart after a self-update) must still be able to move
    // "latest.log" aside instead of finding it locked.
    const HANDLE handle =
        CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

} // namespace qv::launcher
