// The POSIX side of the log: terminals take ANSI escapes as they are, local time comes from
// the re-entrant conversion, and file names are UTF-8 already.
#include "base/log_os.h"

namespace qv::launcher {

void setUpConsole() {}

bool localTime(std::time_t t, std::tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

std::FILE* openLogFile(const char* utf8Path) {
    // "e" opens with O_CLOEXEC: the game must not inherit the launcher's log.
    return std::fopen(utf8Path, "we");
}

} // namespace qv::launcher
