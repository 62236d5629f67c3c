// The error box on Windows: a modal message box with the error icon and one OK button, owned by
// no window (the launcher's own does not exist yet, or is already gone). It returns when the
// player closes it.
#include "app/error_box.h"

#include "base/win32/wide_text.h"

#include <windows.h>

namespace qv::launcher {

void showErrorBox(const char* title, const std::string& message) {
    // The texts are UTF-8 and the narrow box reads the ANSI code page, which would garble
    // anything outside ASCII; the wide box shows them as they are. Text that is not UTF-8 still
    // reaches the player through the narrow box rather than not at all.
    std::wstring wideTitle;
    std::wstring wideMessage;
    if (wideFromUtf8(title, wideTitle) && wideFromUtf8(message, wideMessage)) {
        MessageBoxW(nullptr, wideMessage.c_str(), wideTitle.c_str(), MB_OK | MB_ICONERROR);
    } else {
        MessageBoxA(nullptr, message.c_str(), title, MB_OK | MB_ICONERROR);
    }
}

} // namespace qv::launcher
