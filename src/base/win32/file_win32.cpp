// The Win32 side of the base layer's file open: narrow names are in the ANSI code page on
// Windows, so the UTF-8 name is converted and the file opened by its wide name. Text that is not
// UTF-8 opens nothing rather than some other file.
#include "base/file_os.h"

#include "base/win32/wide_text.h"

#include <string>

namespace qv::launcher {

std::FILE* openFileNoInherit(const char* utf8Path, const char* mode) {
    std::wstring name;
    if (utf8Path == nullptr || !wideFromUtf8(utf8Path, name) || name.empty()) return nullptr;
    return openWideNoInherit(name.c_str(), mode);
}

} // namespace qv::launcher
