// Started by the error box test before it shows the box: finds the dialog window ("#32770")
// titled "Corvanthe Launcher", reads its message text, checks that its icon is the system's
// error icon, presses OK, and writes what it saw into the report file its argument names:
// "found 0|1", "text <hex>", "icon <which of the system's message icons>" and "ok 0|1".
#include "base/platform_os.h"
#include "base/win32/wide_text.h"

#include "../../base/win32/report_file.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// In a message box the text is the static control 0xFFFF; the icon is the static control of
// icon style, whose number differs between systems.
constexpr int kTextControl = 0xFFFF;

HWND iconControl(HWND box) {
    HWND found = nullptr;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM result) -> BOOL {
            if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) return TRUE;
            *reinterpret_cast<HWND*>(result) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

using Pixels = std::vector<std::uint32_t>;

// Pixels of a 32-bit top-down bitmap that draw fills; the icon handle of another process cannot
// be read (wine keeps icons inside their process), so icons are compared by what they show.
template <typename Draw> Pixels drawn(int width, int height, Draw draw) {
    Pixels pixels(static_cast<std::size_t>(width) * height, 0);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    const HDC dc = CreateCompatibleDC(nullptr);
    const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dc != nullptr && bitmap != nullptr) {
        const HGDIOBJ old = SelectObject(dc, bitmap);
        draw(dc);
        GdiFlush();
        std::memcpy(pixels.data(), bits, pixels.size() * sizeof pixels[0]);
        SelectObject(dc, old);
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (dc != nullptr) DeleteDC(dc);
    return pixels;
}

long distance(const Pixels& a, const Pixels& b) {
    long sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::abs(static_cast<int>((a[i] >> shift) & 255) -
                            static_cast<int>((b[i] >> shift) & 255));
        }
    }
    return sum;
}

// Which of the system's four message icons the control shows, read from the screen once it has
// been painted: "error", "warning", "information", "question", or "none".
std::string iconShown(HWND control) {
    // Other programs' windows on the same screen must not hide the box while it is read.
    SetWindowPos(GetAncestor(control, GA_ROOT), HWND_TOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    int width = 0;
    int height = 0;
    const auto fromScreen = [&] {
        RECT place{};
        GetWindowRect(control, &place);
        width = place.right - place.left;
        height = place.bottom - place.top;
        return drawn(width, height, [&](HDC dc) {
            const HDC screen = GetDC(nullptr);
            BitBlt(dc, 0, 0, width, height, screen, place.left, place.top, SRCCOPY);
            ReleaseDC(nullptr, screen);
        });
    };
    const auto flat = [](const Pixels& pixels) {
        return std::all_of(pixels.begin(), pixels.end(),
                           [&](std::uint32_t p) { return p == pixels[0]; });
    };
    // Shown means painted: wait until the control's place on the screen holds an image.
    Pixels shown = fromScreen();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (flat(shown) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        shown = fromScreen();
    }
    if (flat(shown)) return "none";
    // Every one of the four leaves its top left corner to the background.
    const COLORREF background = RGB((shown[0] >> 16) & 255, (shown[0] >> 8) & 255, shown[0] & 255);
    const struct {
        const char* name;
        LPCSTR icon;
    } candidates[] = {{"error", IDI_ERROR},
                      {"warning", IDI_WARNING},
                      {"information", IDI_INFORMATION},
                      {"question", IDI_QUESTION}};
    std::string best = "none";
    long bestDistance = -1;
    for (const auto& candidate : candidates) {
        const Pixels expected = drawn(width, height, [&](HDC dc) {
            const HBRUSH brush = CreateSolidBrush(background);
            const RECT all{0, 0, width, height};
            FillRect(dc, &all, brush);
            DeleteObject(brush);
            DrawIconEx(dc, 0, 0, LoadIconA(nullptr, candidate.icon), width, height, 0, nullptr,
                       DI_NORMAL);
        });
        const long d = distance(shown, expected);
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = candidate.name;
        }
    }
    return best;
}

std::string windowText(HWND window) {
    std::wstring text(4096, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return qv::launcher::utf8FromWide(text);
}

} // namespace

int main(int argc, char** argv) {
    using namespace qv::launcher;
    const std::vector<std::string> arguments = osCommandLineArguments(argc, argv);
    std::wstring reportName;
    if (arguments.size() != 1 || !wideFromUtf8(arguments[0], reportName)) return 2;

    // The time limit only ends a watch whose box never comes.
    HWND box = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (box == nullptr && std::chrono::steady_clock::now() < deadline) {
        box = FindWindowW(L"#32770", L"Corvanthe Launcher");
        if (box == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The box is found as soon as it exists; its text, icon and layout are final once shown.
    while (box != nullptr && !IsWindowVisible(box) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string report = std::string("found ") + (box != nullptr ? "1" : "0") + "\n";
    if (box != nullptr) {
        report += "text " + test::hexText(windowText(GetDlgItem(box, kTextControl))) + "\n";
        report += "icon " + iconShown(iconControl(box)) + "\n";
        const HWND ok = GetDlgItem(box, IDOK);
        report += std::string("ok ") +
                  (ok != nullptr && windowText(ok).find("OK") != std::string::npos ? "1" : "0") +
                  "\n";
        // Written before the box closes, so the test finds it as soon as its call returns.
        test::writeReport(std::filesystem::path(reportName), report);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        return 0;
    }
    return test::writeReport(std::filesystem::path(reportName), report) ? 0 : 3;
}
