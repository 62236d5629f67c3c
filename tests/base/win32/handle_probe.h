// Whether a handle of the test process could be inherited by a process it starts.
#pragma once

#include <windows.h>

#include <cstdio>
#include <io.h>

namespace qv::launcher::test {

// A handle whose flags cannot be read counts as inheritable, so a test never passes on it.
inline bool inheritable(HANDLE handle) {
    DWORD flags = 0;
    return !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0;
}

inline bool inheritable(std::FILE* file) {
    return inheritable(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

} // namespace qv::launcher::test
