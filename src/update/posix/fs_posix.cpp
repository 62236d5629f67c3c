// POSIX side of the updater's file writing and of the lock on the launcher folder. Every descriptor
// is close-on-exec, so a game started while the worker writes inherits none of them.
#include "update/fs_os.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

std::FILE* fsCreateNew(const std::filesystem::path& path, std::error_code& error) {
    if (path.native().find('\0') != std::string::npos) {
        error = std::make_error_code(std::errc::invalid_argument);
        return nullptr;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error.assign(errno, std::generic_category());
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        error.assign(errno, std::generic_category());
        close(fd);
        unlink(path.c_str());
    }
    return file;
}

bool fsIsInUse(const std::error_code& error) {
    return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy;
}

bool fsIsOtherDevice(const std::error_code& error) {
    return error == std::errc::cross_device_link;
}

std::string fsErrorText(const std::error_code& error) {
    return error.message();
}

std::string fsSystemWords(const std::error_code& error) {
    // The C library's descriptions are never translated.
    return fsErrorText(error);
}

namespace {

FsEntry entryOfStatus(const std::filesystem::file_status& status) {
    switch (status.type()) {
    case std::filesystem::file_type::not_found:
        return FsEntry::Absent;
    case std::filesystem::file_type::directory:
        return FsEntry::Folder;
    case std::filesystem::file_type::symlink:
        return FsEntry::Link;
    case std::filesystem::file_type::none:
    case std::filesystem::file_type::unknown:
        return FsEntry::Unknown;
    default:
        return FsEntry::File; // a device or socket is no folder either, and goes as a file would
    }
}

} // namespace

FsEntry fsEntryAt(const std::filesystem::path& path) {
    std::error_code error;
    return entryOfStatus(std::filesystem::symlink_status(path, error));
}

bool fsListFolder(const std::filesystem::path& folder, std::vector<FsFolderEntry>& entries,
                  std::error_code& error) {
    error.clear();
    // POSIX has no limit on a listed folder's path beyond the one every call has.
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code statusError;
        entries.push_back({it->path(), entryOfStatus(it->symlink_status(statusError))});
    }
    return !error;
}

// rename(2) and remove(3) already replace in one step and never copy; no other program holds
// a file against them.
bool fsRename(const std::filesystem::path& from, const std::filesystem::path& to,
              std::error_code& error) {
    std::filesystem::rename(from, to, error);
    return !error;
}

bool fsRemove(const std::filesystem::path& path, std::error_code& error) {
    return std::filesystem::remove(path, error);
}

bool fsRemove(const std::filesystem::path& path, std::error_code& error, FsPatience&) {
    return fsRemove(path, error); // nothing to wait for
}

bool fsNamesAlwaysIgnoreCase() {
    return false;
}

bool fsRemoveFolder(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    if (path.native().find('\0') != std::string::npos) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // rmdir removes a folder only: whatever else stands at the name by now is left alone.
    if (rmdir(path.c_str()) == 0) return true;
    error.assign(errno, std::generic_category());
    return false;
}

namespace {

// The refusals that say this process may not, as opposed to a failure of the call.
bool isAccessRefusal(int code) {
    return code == EACCES || code == EPERM || code == EROFS;
}

} // namespace

bool fsMayAddFiles(const std::filesystem::path& folder, std::error_code& why) {
    why.clear();
    if (folder.native().find('\0') != std::string::npos) return true;
    // Asked for this process's effective ids; the kernel answers for an immutable folder and a
    // read-only mount too, and nothing is made to find out.
    const char* name = folder.empty() ? "." : folder.c_str();
    if (faccessat(AT_FDCWD, name, W_OK | X_OK, AT_EACCESS) == 0 || !isAccessRefusal(errno))
        return true;
    why.assign(errno, std::generic_category());
    return false;
}

const char* fsPathLimitProblem(const std::filesystem::path& absolute) {
    if (absolute.native().size() >= PATH_MAX) return "the path is too long";
    for (const std::filesystem::path& name : absolute) {
        if (name.native().size() > NAME_MAX) return "a name in the path is too long";
    }
    return nullptr;
}

namespace {

bool syncDescriptor(int fd) {
    while (fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // A file system that cannot sync (a pipe, some network mounts) has nothing more to do.
        return errno == EINVAL || errno == ENOTSUP || errno == EROFS;
    }
    return true;
}

} // namespace

bool fsSyncFile(std::FILE* file) {
    const int fd = fileno(file);
    return fd >= 0 && syncDescriptor(fd);
}

void fsStartWriteback(std::FILE* file) {
#ifdef __linux__
    const int fd = fileno(file);
    if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
#endif
}

bool fsSyncPath(const std::filesystem::path& path, std::error_code& error) {
    if (path.native().find('\0') != std::string::npos) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // Linux reports a failed writeback to a descriptor opened after it, as long as nobody has
    // seen it yet, so the file need not stay open from its writing to its sync.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error.assign(errno, std::generic_category());
        return false;
    }
    const bool synced = syncDescriptor(fd);
    if (!synced) error.assign(errno, std::generic_category());
    close(fd);
    return synced;
}

void fsSyncFolder(const std::filesystem::path& folder) {
    const char* name = folder.empty() ? "." : folder.c_str();
    const int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    while (fsync(fd) != 0 && errno == EINTR) {
    }
    close(fd);
}

bool fsRunningFileIsReplaceable() {
    return true;
}

namespace {

// Whether a refused open of the lock file is the system's refusal of this process, not a
// failure of the one call: the file is there and may not be read, or it is absent and its
// folder may not be written.
bool lockRefusedForReal(const std::filesystem::path& path, std::error_code& why) {
    if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0)
        return false;
    if (isAccessRefusal(errno)) {
        why.assign(errno, std::generic_category());
        return true;
    }
    return errno == ENOENT && !fsMayAddFiles(path.parent_path(), why);
}

} // namespace

std::intptr_t fsTryLockFile(const std::filesystem::path& path, bool& heldElsewhere,
                            std::error_code* refused) {
    heldElsewhere = false;
    if (refused) refused->clear();
    if (path.native().find('\0') != std::string::npos) return -1;
    // Never blocking: a pipe planted at the name would hold an open for reading for ever.
    constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0666);
    if (fd >= 0) {
        // Whatever the umask of the run that makes it (root's 077 included), every player who
        // may write the folder must be able to open the lock file later.
        fchmod(fd, 0666);
    } else if (errno == EEXIST) {
        fd = open(path.c_str(), O_RDWR | kFlags);
        // flock needs no writing: a lock file this process may only read (another user's, or
        // one made read-only) locks as well, and so is never replaced.
        if (fd < 0 && isAccessRefusal(errno)) fd = open(path.c_str(), O_RDONLY | kFlags);
    }
    if (fd < 0) {
        std::error_code why;
        if (refused && (isAccessRefusal(errno) || errno == ENOENT) && lockRefusedForReal(path, why))
            *refused = why;
        return -1;
    }
    // Only a regular file is a lock another launcher meets the same way.
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(fd);
        return -1;
    }
    // flock belongs to the open file, so a second open in the same process is refused too.
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        heldElsewhere = errno == EWOULDBLOCK;
        close(fd);
        return -1;
    }
    return fd;
}

bool fsReplaceLockFile(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    if (path.native().find('\0') != std::string::npos) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // Those who replace the file take turns by a lock on the folder, and each looks again under
    // it: after the first, the name holds a file the next may open, which it then leaves. One
    // that locks the file at the name never waits here.
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    const int guard = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int locked = -1;
    while (guard >= 0 && (locked = flock(guard, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        error.assign(errno, std::generic_category());
        if (guard >= 0) close(guard);
        return false;
    }
    bool replaced = false;
    const int probe = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (probe >= 0) {
        close(probe);
    } else if (isAccessRefusal(errno)) {
        std::filesystem::path fresh = path;
        fresh += ".new";
        unlink(fresh.c_str()); // a leftover of a replacement that was cut short
        const int fd =
            open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            error.assign(errno, std::generic_category());
        } else {
            fchmod(fd, 0666);
            close(fd);
            replaced = rename(fresh.c_str(), path.c_str()) == 0;
            if (!replaced) {
                error.assign(errno, std::generic_category());
                unlink(fresh.c_str());
            }
        }
    } else if (errno != ENOENT) { // a name gone by now needs nothing: the lock makes it anew
        error.assign(errno, std::generic_category());
    }
    close(guard); // closing the folder's descriptor lets the next one in
    return replaced;
}

bool fsLockedFileIsAtName(std::intptr_t handle, const std::filesystem::path& path) {
    struct stat locked {};
    struct stat named {};
    return handle >= 0 && fstat(static_cast<int>(handle), &locked) == 0 &&
           lstat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
           locked.st_ino == named.st_ino;
}

void fsUnlockFile(std::intptr_t handle) {
    if (handle >= 0) close(static_cast<int>(handle)); // closing the descriptor drops the lock
}

} // namespace qv::launcher
