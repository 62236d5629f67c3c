// The POSIX side of the log: terminals take ANSI escapes as they are, and local time comes from
// the re-entrant conversion.
#include "base/log_os.h"

namespace qv::launcher {

void setUpConsole() {}

bool localTime(std::time_t t, std::tm& out) {
    // localtime_r may fill some fields before it finds that the year does not fit; the caller's
    // zeroed structure must stay all zero then.
    std::tm converted{};
    if (localtime_r(&t, &converted) == nullptr) return false;
    out = converted;
    return true;
}

} // namespace qv::launcher
