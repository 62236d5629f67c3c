// UTF-8 and UTF-16 conversion by the system's own converter, and the one wide-name file open of
// the Win32 side.
#include "base/win32/wide_text.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

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

std::FILE* openWideNoInherit(const wchar_t* name, const char* mode) {
    // _O_NOINHERIT has been part of the C runtime's open for as long as it exists, unlike the
    // "N" letter of fopen's mode; the stream is then built on the descriptor, so no started
    // process can ever inherit the handle.
    int flags = _O_NOINHERIT;
    if (mode[0] == 'r') {
        flags |= _O_RDONLY;
    } else if (mode[0] == 'w') {
        flags |= _O_WRONLY | _O_CREAT | _O_TRUNC;
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
    const int fd = _wsopen(name, flags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

} // namespace qv::launcher
