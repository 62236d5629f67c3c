// The Win32 side of the updater's file writing and of the lock on the launcher folder: files are
// opened by their wide names, in binary mode and not inheritable, so a game started while the
// worker writes receives none of them.
#include "update/fs_os.h"

#include "base/win32/wide_text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace qv::launcher {

namespace {

// A name with a NUL inside would open a different, shorter name.
bool holdsNul(const std::filesystem::path& path) {
    return path.native().find(L'\0') != std::wstring::npos;
}

} // namespace

std::FILE* fsOpenRead(const std::filesystem::path& path) {
    return holdsNul(path) ? nullptr : openWideNoInherit(path.c_str(), "rb");
}

std::FILE* fsCreateNew(const std::filesystem::path& path, std::error_code& error) {
    if (holdsNul(path)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return nullptr;
    }
    // CREATE_NEW fails for anything already at the name; with FILE_FLAG_OPEN_REPARSE_POINT a
    // link there counts as such a thing instead of being followed to its target.
    const HANDLE handle = CreateFileW(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error.assign(static_cast<int>(GetLastError()), std::system_category());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        error = std::make_error_code(std::errc::too_many_files_open);
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(handle);
        }
        DeleteFileW(path.c_str());
    }
    return file;
}

bool fsIsInUse(const std::error_code& error) {
    // A file another program has open without sharing it, or a running program's own file, which
    // Windows refuses to replace with "access denied"; in the folders the launcher writes itself
    // that is the cause to expect.
    if (error.category() == std::system_category()) {
        switch (error.value()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
        case ERROR_ACCESS_DENIED:
            return true;
        default:
            break;
        }
    }
    return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy ||
           error == std::errc::permission_denied;
}

bool fsSyncFile(std::FILE* file) {
    // _commit is the C runtime's FlushFileBuffers on the descriptor's handle.
    const int fd = _fileno(file);
    return fd >= 0 && _commit(fd) == 0;
}

void fsStartWriteback(std::FILE*) {
    // Windows has no call that starts the writing of a file's bytes without waiting for it; the
    // system's lazy writer begins soon on its own, and the later flush waits for what is left.
}

bool fsSyncPath(const std::filesystem::path& path) {
    if (holdsNul(path)) return false;
    // Flushing needs a handle open for writing; a link at the name is flushed itself, never
    // followed. The handle is not inheritable (no security attributes ask for it).
    const HANDLE handle = CreateFileW(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    return flushed;
}

void fsSyncFolder(const std::filesystem::path& folder) {
    // Windows has no fsync of a folder. NTFS writes a rename to its journal, which reaches the
    // disk by itself within seconds; flushing a handle to the folder pushes it there now where
    // the file system allows it (it needs write access to the folder). Where it does not, the
    // file's own content is already durable and only the name may fall back to its old one.
    const std::filesystem::path name = folder.empty() ? std::filesystem::path(L".") : folder;
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(handle);
    CloseHandle(handle);
}

bool fsRunningFileIsReplaceable() {
    // A running program's file cannot be replaced or deleted, only renamed: it is moved aside.
    return false;
}

std::intptr_t fsTryLockFile(const std::filesystem::path& path, bool& heldElsewhere) {
    heldElsewhere = false;
    if (holdsNul(path)) return -1;
    // Sharing is left open so that the lock, not the open, is what another launcher meets; the
    // handle is not inheritable, and the system drops the lock with it however the process ends.
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED whole{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &whole)) {
        heldElsewhere = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(handle);
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

void fsUnlockFile(std::intptr_t handle) {
    // Closing the handle drops the lock.
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace qv::launcher
