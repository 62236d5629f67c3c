// The Win32 side of name comparison ignoring case: the system's upper-case table, the one its
// file systems and its ordinal comparison use.
#include "update/case_os.h"

#include <windows.h>

extern "C" __declspec(dllimport) WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR source);

namespace qv::launcher {

std::uint16_t caseUpperUnit(std::uint16_t unit) {
    return static_cast<std::uint16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(unit)));
}

bool caseSameUnit(std::uint16_t a, std::uint16_t b) {
    const WCHAR first = static_cast<WCHAR>(a);
    const WCHAR second = static_cast<WCHAR>(b);
    return CompareStringOrdinal(&first, 1, &second, 1, TRUE) == CSTR_EQUAL;
}

} // namespace qv::launcher
