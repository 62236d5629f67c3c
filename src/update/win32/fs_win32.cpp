// The Win32 side of the updater's file writing: files are opened by their wide names, in binary
// mode and not inheritable, so a game started while the worker writes receives none of them.
#include "update/fs_os.h"

#include "base/win32/wide_text.h"

#include <windows.h>

#include <io.h>

namespace qv::launcher {

namespace {

// A name with a NUL inside would open a different, shorter name.
std::FILE* openExactName(const std::filesystem::path& path, const char* mode) {
    if (path.native().find(L'\0') != std::wstring::npos) return nullptr;
    return openWideNoInherit(path.c_str(), mode);
}

} // namespace

std::FILE* fsOpenRead(const std::filesystem::path& path) {
    return openExactName(path, "rb");
}

std::FILE* fsOpenWrite(const std::filesystem::path& path) {
    return openExactName(path, "wb");
}

bool fsSyncFile(std::FILE* file) {
    // _commit is the C runtime's FlushFileBuffers on the descriptor's handle.
    const int fd = _fileno(file);
    return fd >= 0 && _commit(fd) == 0;
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

} // namespace qv::launcher
