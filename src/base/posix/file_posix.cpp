// The POSIX side of the base layer's file open: names are UTF-8 already, and glibc's "e" mode
// letter opens with O_CLOEXEC, so there is no moment in which a started process could inherit
// the descriptor.
#include "base/file_os.h"

#include <cstdio>
#include <cstring>

namespace qv::launcher {

std::FILE* openFileNoInherit(const char* utf8Path, const char* mode) {
    char withCloseOnExec[8];
    const std::size_t length = std::strlen(mode);
    if (length + 2 > sizeof withCloseOnExec) return nullptr;
    std::memcpy(withCloseOnExec, mode, length);
    withCloseOnExec[length] = 'e';
    withCloseOnExec[length + 1] = '\0';
    return std::fopen(utf8Path, withCloseOnExec);
}

bool renameFileWaiting(const char* utf8From, const char* utf8To) {
    // No other program holds a file against a rename here.
    return std::rename(utf8From, utf8To) == 0;
}

} // namespace qv::launcher
