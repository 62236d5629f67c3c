// Feeds arbitrary bytes to the settings reader: it must never crash or hang.
#include "app/settings.h"

#include <cstddef>
#include <cstdint>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const qv::launcher::LauncherSettings s = qv::launcher::parseSettings(in);
    // What the reader keeps is always trimmed.
    if (!s.server.empty() && qv::launcher::trim(s.server) != s.server) __builtin_trap();
    return 0;
}
