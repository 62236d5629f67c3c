// Started by the Windows platform tests: writes what it received from its parent into the
// report "report" in its current folder, texts as hex-encoded UTF-8.
//
// Lines: "arg <hex>" per argument after the program name, "cwd <hex>", "self <hex>" for
// selfPath(), and "inherited 0|1": whether an inheritable handle of the parent's reached it.
// With CORVANTHE_CHILD_RENAME_SELF set, it first moves its own executable to its path plus that
// suffix, as a self-update does, and reports selfPath() after the move.
#include "base/platform.h"
#include "base/platform_os.h"
#include "base/win32/wide_text.h"

#include "report_file.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Whether the handle with the number in CORVANTHE_PROBE_HANDLE is open here on the file named
// in CORVANTHE_PROBE_NAME; the number alone could belong to a handle of this process's own.
bool probeInherited() {
    const char* number = std::getenv("CORVANTHE_PROBE_HANDLE");
    const char* name = std::getenv("CORVANTHE_PROBE_NAME");
    if (number == nullptr || name == nullptr) return false;
    const auto handle = reinterpret_cast<HANDLE>(std::strtoull(number, nullptr, 10));
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0 || length >= path.size()) return false;
    path.resize(length);
    const std::string text = qv::launcher::utf8FromWide(path);
    const std::string tail = name;
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

int main(int argc, char** argv) {
    using namespace qv::launcher;
    std::string report;
    for (const std::string& argument : osCommandLineArguments(argc, argv))
        report += "arg " + test::hexText(argument) + "\n";

    std::wstring cwd(32768, L'\0');
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
    if (length == 0 || length >= cwd.size()) return 2;
    cwd.resize(length);
    report += "cwd " + test::hexText(utf8FromWide(cwd)) + "\n";
    report += std::string("inherited ") + (probeInherited() ? "1" : "0") + "\n";

    std::filesystem::path self = selfPath();
    if (const char* suffix = std::getenv("CORVANTHE_CHILD_RENAME_SELF")) {
        std::filesystem::path moved = self;
        moved += suffix;
        std::filesystem::rename(self, moved);
        self = selfPath();
    }
    report += "self " + test::hexText(toUtf8(self)) + "\n";

    return test::writeReport(L"report", report) ? 0 : 3;
}
