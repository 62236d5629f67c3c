#include "app/error_box.h"

#include "base/log.h"

namespace qv::launcher {

void showError(const std::string& message) {
    logError("%s", message.c_str());
    showErrorBox(errorBoxTitle, message);
}

} // namespace qv::launcher
