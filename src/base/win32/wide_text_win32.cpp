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

std::wstring plainMessage(std::wstring_view message) {
    // The messages are written with inserts for the caller's words, which
    // FORMAT_MESSAGE_IGNORE_INSERTS leaves standing ("%1 is not a valid Win32 application.").
    std::wstring plain;
    for (std::size_t i = 0; i < message.size(); ++i) {
        wchar_t c = message[i];
        if (c == L'%' && i + 1 < message.size()) {
            const wchar_t next = message[i + 1];
            if (next >= L'1' && next <= L'9') {
                ++i;
                while (i + 1 < message.size() && message[i + 1] >= L'0' && message[i + 1] <= L'9')
                    ++i;
                // An insert may carry its printf format between exclamation marks.
                if (i + 1 < message.size() && message[i + 1] == L'!') {
                    const std::size_t close = message.find(L'!', i + 2);
                    if (close != std::wstring_view::npos) i = close;
                }
                continue;
            }
            if (next == L'%' || next == L'!' || next == L'.') {
                plain += next;
                ++i;
                continue;
            }
            if (next == L'n' || next == L'r' || next == L't' || next == L'b') {
                c = L' ';
                ++i;
            }
        }
        if (c == L'\r' || c == L'\n' || c == L'\t' || c == L'\u00a0' || c == L'\u3000') c = L' ';
        if (c == L' ' && (plain.empty() || plain.back() == L' ')) continue;
        plain += c;
    }
    // Full stops of the Latin, CJK (ideographic and full-width) and Devanagari scripts.
    while (!plain.empty() &&
           (plain.back() == L' ' || plain.back() == L'.' || plain.back() == L'\u3002' ||
            plain.back() == L'\uff0e' || plain.back() == L'\uff61' || plain.back() == L'\u0964'))
        plain.pop_back();
    return plain;
}

namespace {

// The system's message in the given language; empty when it has none in it.
std::string messageIn(unsigned long code, DWORD language) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, language, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr)
        text = utf8FromWide(plainMessage(std::wstring_view(message, length)));
    if (message != nullptr) LocalFree(message);
    return text;
}

} // namespace

std::string systemMessageUtf8(unsigned long code) {
    return messageIn(code, 0);
}

std::string englishSystemMessageUtf8(unsigned long code) {
    const std::string english = messageIn(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    return english.empty() ? messageIn(code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) : english;
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
