// POSIX side of the updater's file writing. Every descriptor is close-on-exec, so a game started
// while the worker writes inherits none of them.
#include "update/fs_os.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qv::launcher {

namespace {

// A name with a NUL inside would open a different, shorter name.
std::FILE* openExactName(const std::filesystem::path& path, const char* mode) {
    if (path.native().find('\0') != std::string::npos) return nullptr;
    return std::fopen(path.c_str(), mode);
}

} // namespace

std::FILE* fsOpenRead(const std::filesystem::path& path) {
    return openExactName(path, "rbe");
}

std::FILE* fsOpenWrite(const std::filesystem::path& path) {
    return openExactName(path, "wbe");
}

bool fsSyncFile(std::FILE* file) {
    const int fd = fileno(file);
    if (fd < 0) return false;
    while (fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // A file system that cannot sync (a pipe, some network mounts) has nothing more to do.
        return errno == EINVAL || errno == ENOTSUP || errno == EROFS;
    }
    return true;
}

void fsSyncFolder(const std::filesystem::path& folder) {
    const char* name = folder.empty() ? "." : folder.c_str();
    const int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    while (fsync(fd) != 0 && errno == EINTR) {
    }
    close(fd);
}

} // namespace qv::launcher
