// The Win32 side of the updater's file writing and of the lock on the launcher folder: files are
// opened by their wide names, in binary mode and not inheritable, so a game started while the
// worker writes receives none of them. Renames and removals are the system's own calls, so the
// Windows error code survives and a move to another drive never turns into a copy, and every
// change of a name (and every reopen) waits out the short hold of a scanner or indexer.
#include "update/fs_os.h"

#include "base/win32/refusal_win32.h"
#include "base/win32/wide_text.h"
#include "update/win32/fs_entry_win32.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

namespace qv::launcher {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A name with a NUL inside would open a different, shorter name.
bool holdsNul(const std::filesystem::path& path) {
    return path.native().find(L'\0') != std::wstring::npos;
}

// The status code of the system's last failed call on this thread, which tells apart what
// "access denied" stands for; 0 where the system does not say.
LONG lastNtStatus() {
    using Query = LONG(WINAPI*)();
    static const Query query = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const FARPROC found = ntdll ? GetProcAddress(ntdll, "RtlGetLastNtStatus") : nullptr;
        return reinterpret_cast<Query>(reinterpret_cast<void*>(found));
    }();
    return query != nullptr ? query() : 0;
}

// The error of the call that just failed. "Access denied" for a name pending deletion (removed
// while another program still has it open) is told apart, as that refusal ends by itself.
DWORD lastErrorOr(bool succeeded) {
    if (succeeded) return 0;
    const DWORD code = GetLastError();
    constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
    if (code == ERROR_ACCESS_DENIED && lastNtStatus() == kStatusDeletePending)
        return ERROR_DELETE_PENDING;
    return code;
}

DWORD causeOfRefusal(const std::filesystem::path& file, DWORD code);

// Whether another program's hold explains the refusal, so that it ends by itself: a sharing or
// lock violation, a name pending deletion, or "access denied" where the system says that
// another program holds one of the files. "Access denied" for a folder or file this process
// may not change is no hold: it is answered at once.
bool isMomentaryRefusal(DWORD code, const std::filesystem::path& subject,
                        const std::filesystem::path& other) {
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
        code == ERROR_DELETE_PENDING)
        return true;
    if (code != ERROR_ACCESS_DENIED) return false;
    return causeOfRefusal(subject, code) == ERROR_SHARING_VIOLATION ||
           (!other.empty() && causeOfRefusal(other, code) == ERROR_SHARING_VIOLATION);
}

// Runs attempt (0 or the system's error code) again while it fails in a way that a short hold
// of the subject (or of other, the second file of a rename) explains, pausing a little longer
// each time, for as long as patience has left; what it waited is taken from it. The last code
// is kept.
template <typename Attempt>
DWORD withPatience(const std::filesystem::path& subject, Attempt attempt, FsPatience& patience,
                   const std::filesystem::path& other = {}) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + patience.left;
    DWORD pauseMs = 10;
    DWORD code = 0;
    for (;;) {
        code = attempt();
        if (code == 0 || Clock::now() >= giveUp || !isMomentaryRefusal(code, subject, other)) break;
        Sleep(pauseMs);
        pauseMs = std::min<DWORD>(pauseMs * 2, 250);
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    patience.left = waited >= patience.left ? std::chrono::milliseconds(0) : patience.left - waited;
    return code;
}

// The same with the wait of one change alone, about 3 s.
template <typename Attempt>
DWORD withPatience(const std::filesystem::path& subject, Attempt attempt,
                   const std::filesystem::path& other = {}) {
    FsPatience own;
    return withPatience(subject, attempt, own, other);
}

bool isAbsentCode(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Clears the read-only attribute of the file or folder at the name. Files the launcher
// replaces or removes are its release's (an archive tool or old installer may have marked
// them), and the attribute would refuse the change with "access denied". True when it was set.
bool clearReadOnly(const std::filesystem::path& path, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return false;
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(path.c_str(), rest == 0 ? FILE_ATTRIBUTE_NORMAL : rest) != 0;
}

// The refusal as the caller reports it: "access denied" that another program's hold explains
// (heldAgainstChange) becomes the sharing violation it is, so it is waited for and reported as the
// file in use; any other code stays.
DWORD causeOfRefusal(const std::filesystem::path& file, DWORD code) {
    return code == ERROR_ACCESS_DENIED && heldAgainstChange(file.native()) ? ERROR_SHARING_VIOLATION
                                                                           : code;
}

std::error_code systemError(DWORD code) {
    return std::error_code(static_cast<int>(code), std::system_category());
}

// The attributes and reparse tag of an open handle; false when the system cannot tell.
bool readAttributeTag(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info) {
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) != 0;
}

// What a reparse point at the name is, by the name's attributes and the tag read from the name
// itself; a tag that cannot be read counts as a link, so it is never walked through.
FsEntry entryOfReparsePoint(const std::filesystem::path& path, DWORD attributes) {
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FsEntry::Link;
    FILE_ATTRIBUTE_TAG_INFO info{};
    const bool read = readAttributeTag(handle, info);
    CloseHandle(handle);
    return read ? fsEntryOfAttributes(attributes, info.ReparseTag) : FsEntry::Link;
}

// Whether this process may use paths beyond MAX_PATH: the system's own answer where it gives
// one (Windows 10 1607 and later: the manifest's longPathAware and the system's setting both),
// else the setting alone, as the launcher's manifest declares itself aware.
bool longPathsEnabled() {
    using Query = BOOLEAN(WINAPI*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll ? GetProcAddress(ntdll, "RtlAreLongPathsEnabled") : nullptr;
    if (found != nullptr) return reinterpret_cast<Query>(reinterpret_cast<void*>(found))() != 0;
    DWORD enabled = 0;
    DWORD size = sizeof enabled;
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                        L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &enabled,
                        &size) == ERROR_SUCCESS &&
           enabled == 1;
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
    // A file just removed at the name may linger while a scanner still has it open, refusing
    // its creation anew for that moment.
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD code = withPatience(path, [&] {
        handle = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return lastErrorOr(handle != INVALID_HANDLE_VALUE);
    });
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemError(code);
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
    // "Access denied" is not among them: the operations here have asked the system whether a
    // holder caused it, and turned it into a sharing violation when one did.
    if (error.category() == std::system_category()) {
        switch (error.value()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
        case ERROR_DELETE_PENDING: // removed, and still held open by another program
            return true;
        default:
            return false;
        }
    }
    return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy;
}

bool fsIsOtherDevice(const std::error_code& error) {
    return (error.category() == std::system_category() && error.value() == ERROR_NOT_SAME_DEVICE) ||
           error == std::errc::cross_device_link;
}

std::string fsErrorText(const std::error_code& error) {
    if (error.category() != std::system_category()) return error.message();
    // The causes a player meets most, worded alike on every Windows; the rest in the system's
    // words, which come in UTF-16 and so survive a localized system's code page.
    switch (error.value()) {
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return "in use by another program";
    case ERROR_WRITE_PROTECT:
        return "the disk is write-protected";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "the disk is full";
    // The rest as the C library words them on the other hosts.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such file or directory";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return "File exists";
    case ERROR_DIR_NOT_EMPTY:
        return "Directory not empty";
    case ERROR_FILENAME_EXCED_RANGE:
        return "File name too long";
    case ERROR_DIRECTORY:
        return "Not a directory";
    case ERROR_NOT_READY:
        return "No medium found";
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
        return "Input/output error";
    default:
        break;
    }
    // A localized system's words may be in a script the launcher's font lacks; English first.
    const std::string text = englishSystemMessageUtf8(static_cast<unsigned long>(error.value()));
    return text.empty() ? "error " + std::to_string(error.value()) : text;
}

std::string fsSystemWords(const std::error_code& error) {
    if (error.category() != std::system_category()) return error.message();
    const std::string text = systemMessageUtf8(static_cast<unsigned long>(error.value()));
    return text.empty() ? "error " + std::to_string(error.value()) : text;
}

FsEntry fsEntryOfAttributes(unsigned long attributes, unsigned long reparseTag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag)))
        return FsEntry::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FsEntry::Folder : FsEntry::File;
}

FsEntry fsEntryAt(const std::filesystem::path& path) {
    if (holdsNul(path)) return FsEntry::Unknown;
    // The attributes of the name itself: a link is not followed.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return isAbsentCode(GetLastError()) ? FsEntry::Absent : FsEntry::Unknown;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return entryOfReparsePoint(path, attributes);
    return fsEntryOfAttributes(attributes, 0);
}

namespace {

// The form of a path that the system takes at any length whatever the long-path setting: an
// absolute path behind "\\?\" (a share's "\\server" as "\\?\UNC\server"). That form is
// passed on unchanged, so the separators and any "." or ".." are made plain first. Other paths
// are left as they are.
std::wstring anyLengthForm(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    if (!path.is_absolute() || native.rfind(L"\\\\?\\", 0) == 0 || native.rfind(L"\\\\.\\", 0) == 0)
        return native;
    std::wstring plain = path.lexically_normal().make_preferred().native();
    if (plain.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + plain.substr(2);
    return L"\\\\?\\" + plain;
}

// What a listed name is, by the attributes and reparse tag the listing gives, in the same way
// fsEntryAt reads them from the name.
FsEntry entryOfFound(const WIN32_FIND_DATAW& found) {
    // The listing gives the tag of a reparse point in dwReserved0.
    return fsEntryOfAttributes(found.dwFileAttributes, found.dwReserved0);
}

bool isDotName(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

} // namespace

bool fsListFolder(const std::filesystem::path& folder, std::vector<FsFolderEntry>& entries,
                  std::error_code& error) {
    error.clear();
    if (holdsNul(folder) || folder.empty()) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    const std::wstring longForm = anyLengthForm(folder);
    std::wstring pattern = longForm;
    if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    // The basic level leaves out the short 8.3 names, which the launcher never uses.
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                         FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        // No match at all is an empty folder (a drive's root has no "." or ".."), where there is
        // a folder at all.
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            const DWORD attributes = GetFileAttributesW(longForm.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                return true;
            code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
        }
        error = systemError(code);
        return false;
    }
    // Each name is joined onto the form it was listed through: the plain form would pass the
    // system's clean-up of a final "." or blank, and "data." would reach "data" beside it.
    const std::filesystem::path listed = longForm;
    DWORD code = 0;
    do {
        if (!isDotName(found.cFileName))
            entries.push_back({listed / found.cFileName, entryOfFound(found)});
        code = lastErrorOr(FindNextFileW(search, &found) != 0);
    } while (code == 0);
    FindClose(search);
    if (code == ERROR_NO_MORE_FILES) return true;
    error = systemError(code);
    return false;
}

bool fsRename(const std::filesystem::path& from, const std::filesystem::path& to,
              std::error_code& error) {
    error.clear();
    if (holdsNul(from) || holdsNul(to)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // Without MOVEFILE_COPY_ALLOWED a move to another drive fails with ERROR_NOT_SAME_DEVICE
    // instead of copying into the final name, unsynced and not in one step.
    const auto attempt = [&] {
        const DWORD failed =
            lastErrorOr(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0);
        if (failed != ERROR_ACCESS_DENIED || !clearReadOnly(to, GetFileAttributesW(to.c_str())))
            return failed;
        return lastErrorOr(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0);
    };
    // A folder is never replaced by a file ("access denied"); no wait changes that.
    const DWORD target = GetFileAttributesW(to.c_str());
    const bool folderInTheWay =
        target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD code = folderInTheWay ? attempt() : withPatience(to, attempt, from);
    if (code == 0) return true;
    code =
        causeOfRefusal(GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES ? to : from, code);
    error = systemError(code);
    return false;
}

bool fsRemove(const std::filesystem::path& path, std::error_code& error) {
    FsPatience own;
    return fsRemove(path, error, own);
}

bool fsRemove(const std::filesystem::path& path, std::error_code& error, FsPatience& patience) {
    error.clear();
    if (holdsNul(path)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    bool absent = false;
    const auto attempt = [&] {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD why = lastErrorOr(false);
            absent = isAbsentCode(why);
            return absent ? 0 : why;
        }
        clearReadOnly(path, attributes);
        // A link to a folder is removed as a folder, the link only; its target is untouched.
        return lastErrorOr((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                               ? RemoveDirectoryW(path.c_str()) != 0
                               : DeleteFileW(path.c_str()) != 0);
    };
    const DWORD code = withPatience(path, attempt, patience);
    if (code == 0) return !absent;
    error = systemError(causeOfRefusal(path, code));
    return false;
}

bool fsNamesAlwaysIgnoreCase() {
    return true;
}

bool fsRemoveFolder(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    if (holdsNul(path)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // RemoveDirectoryW removes a folder (or a folder link) only; a file at the name stays.
    const DWORD code = withPatience(path, [&] {
        clearReadOnly(path, GetFileAttributesW(path.c_str()));
        return lastErrorOr(RemoveDirectoryW(path.c_str()) != 0);
    });
    if (code == 0) return true;
    error = systemError(code);
    return false;
}

bool fsMayAddFiles(const std::filesystem::path& folder, std::error_code& why) {
    why.clear();
    if (holdsNul(folder)) return true;
    // Windows has no question for it that every file system answers (an access check reads
    // the folder's security, which a network share or a read-only disk may not show), so a
    // file is made that the system deletes as its handle closes, whatever ends the process.
    // Where the folder may not be written, nothing is made.
    const std::wstring name = L".write-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
    const std::filesystem::path probe =
        (folder.empty() ? std::filesystem::path(L".") : folder) / name;
    const HANDLE handle = CreateFileW(
        probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_WRITE_PROTECT) return true;
    why = systemError(code);
    return false;
}

const char* fsPathLimitProblem(const std::filesystem::path& absolute) {
    // NTFS counts a name's length in UTF-16 units, and so does this path's native form.
    for (const std::filesystem::path& name : absolute.relative_path()) {
        if (name.native().size() > 255) return "a name in the path is too long";
    }
    constexpr std::size_t kLongPathMax = 32767;
    if (longPathsEnabled())
        return absolute.native().size() >= kLongPathMax ? "the path is too long" : nullptr;
    // Without long paths a file's path has fewer than MAX_PATH units with its final NUL, and a
    // folder must leave room for an 8.3 name in it.
    if (absolute.native().size() >= MAX_PATH ||
        absolute.parent_path().native().size() >= MAX_PATH - 12)
        return "the path is too long";
    return nullptr;
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

bool fsSyncPath(const std::filesystem::path& path, std::error_code& error) {
    if (holdsNul(path)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // Flushing needs a handle open for writing; a link at the name is flushed itself, never
    // followed. The handle is not inheritable (no security attributes ask for it). A scanner
    // that opened the file without sharing writing holds the open off for a moment.
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD code = withPatience(path, [&] {
        handle = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return lastErrorOr(handle != INVALID_HANDLE_VALUE);
    });
    if (handle != INVALID_HANDLE_VALUE) {
        code = lastErrorOr(FlushFileBuffers(handle) != 0);
        CloseHandle(handle);
    }
    if (code == 0) return true;
    error = systemError(code);
    return false;
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

std::intptr_t fsTryLockFile(const std::filesystem::path& path, bool& heldElsewhere,
                            std::error_code* refused) {
    heldElsewhere = false;
    if (refused) refused->clear();
    if (holdsNul(path)) return -1;
    // Reading and writing are shared, so that the lock, not the open, is what another launcher
    // meets; deleting is not, so that nobody can remove or rename the name while it is held.
    // The handle is not inheritable, and the system drops the lock with it however the process
    // ends. A scanner that has the new file open for a moment holds the open off that long.
    constexpr DWORD kShareLock = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD code = withPatience(path, [&] {
        handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareLock, nullptr,
                             OPEN_ALWAYS, kFlags, nullptr);
        return lastErrorOr(handle != INVALID_HANDLE_VALUE);
    });
    // A lock needs no writing: a lock file this process may only read (made read-only, or
    // written by an administrator where users may read) locks as well.
    if (handle == INVALID_HANDLE_VALUE && code == ERROR_ACCESS_DENIED) {
        handle = CreateFileW(path.c_str(), GENERIC_READ, kShareLock, nullptr, OPEN_EXISTING, kFlags,
                             nullptr);
        if (handle == INVALID_HANDLE_VALUE && !isAbsentCode(GetLastError()))
            code = lastErrorOr(false);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder at the name answers "access denied" too; it is no refusal of this process.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (refused && !folder && (code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT))
            *refused = systemError(code);
        return -1;
    }
    // Only a file is a lock another launcher meets the same way: not a folder, nor a link. A
    // cloud provider's file is one, though it carries a reparse point however much of it is on
    // the disk; the handle itself tells, whatever stands at the name by now.
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!readAttributeTag(handle, info) ||
        fsEntryOfAttributes(info.FileAttributes, info.ReparseTag) != FsEntry::File) {
        CloseHandle(handle);
        return -1;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &whole)) {
        heldElsewhere = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(handle);
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

bool fsReplaceLockFile(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    if (holdsNul(path)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    // A lock file that a launcher holds shares no deleting, so the system refuses to rename over
    // it: a new file of another launcher's that one has locked by now is never replaced. The
    // file is made under a name of this process's own, so two launchers never share it.
    std::filesystem::path fresh = path;
    fresh += L".new-" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(fresh.c_str()); // a leftover of a replacement that was cut short
    const HANDLE handle =
        CreateFileW(fresh.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemError(GetLastError());
        return false;
    }
    CloseHandle(handle);
    if (MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD code = causeOfRefusal(path, lastErrorOr(false));
    DeleteFileW(fresh.c_str());
    if (code != ERROR_SHARING_VIOLATION) error = systemError(code);
    return false;
}

bool fsLockedFileIsAtName(std::intptr_t handle, const std::filesystem::path& path) {
    if (handle == -1 || holdsNul(path)) return false;
    BY_HANDLE_FILE_INFORMATION locked{};
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &locked)) return false;
    const HANDLE named =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION there{};
    const bool read = GetFileInformationByHandle(named, &there) != 0;
    CloseHandle(named);
    return read && there.dwVolumeSerialNumber == locked.dwVolumeSerialNumber &&
           there.nFileIndexHigh == locked.nFileIndexHigh &&
           there.nFileIndexLow == locked.nFileIndexLow;
}

void fsUnlockFile(std::intptr_t handle) {
    // Closing the handle drops the lock.
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace qv::launcher
