// Registered by the Windows platform tests as the desktop's handler for opening a folder, in
// place of the file manager: writes the folder it was asked to open, as hex-encoded UTF-8, into
// the report "opened" inside that folder, and ends.
#include "base/platform_os.h"
#include "base/win32/wide_text.h"

#include "report_file.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace qv::launcher;
    const std::vector<std::string> arguments = osCommandLineArguments(argc, argv);
    std::wstring folder;
    if (arguments.size() != 1 || !wideFromUtf8(arguments[0], folder)) return 2;
    const std::filesystem::path report = std::filesystem::path(folder) / L"opened";
    return test::writeReport(report, test::hexText(arguments[0])) ? 0 : 3;
}
