// The operating-system side of the updater's file writing: opening files by path without
// letting the game inherit them, renaming and removing files in one step each, and pushing
// written bytes and renames down to the disk, so that a power cut never leaves a file under its
// final name without its content.
//
// Where other programs may hold a file for a moment (a virus scanner or indexer opens every new
// or changed file on Windows), the operations that change a name wait for it a short, bounded
// time (about 3 s in all) before they give up; a file held longer is reported as in use.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qv::launcher {

// Opens the file for reading its bytes unchanged; null when it cannot be opened (a name with a
// NUL inside opens nothing rather than a shorter name).
std::FILE* fsOpenRead(const std::filesystem::path& path);

// Creates a new file for writing bytes unchanged, failing when anything at all already stands at
// the name: a file, a folder, or a link, which is never followed. Null when it cannot be made,
// with the system's reason in error (a name with a NUL inside makes nothing).
std::FILE* fsCreateNew(const std::filesystem::path& path, std::error_code& error);

// True when the error says that a file could not be changed because a running program holds
// it, the one cause the player can remove by closing that program.
bool fsIsInUse(const std::error_code& error);

// True when the error says that a rename would cross from one file system (drive) to another,
// the one case in which a file has to be copied instead.
bool fsIsOtherDevice(const std::error_code& error);

// The reason shown for a failed file operation, as UTF-8 text in English on every system: the
// same words for the common causes on every Windows, the system's English message for the rest
// where it has one (it may end in a full stop or a line break).
std::string fsErrorText(const std::error_code& error);

// The system's own message for the error, in the user's language, for the log.
std::string fsSystemWords(const std::error_code& error);

// What stands at a name, the name itself and never what a link there points to. A link is a
// symbolic link, or on Windows also a junction or mount point; other reparse points (a cloud
// provider's placeholder) are what they hold. Unknown when the system cannot tell.
enum class FsEntry { Absent, File, Folder, Link, Unknown };
FsEntry fsEntryAt(const std::filesystem::path& path);

// One name found in a folder: a path that reaches exactly that entry, and what stands there as
// fsEntryAt tells it (a link is reported as a link, never followed). On Windows the path of an
// absolute folder is its "\\?\" form joined with the name, which the system takes as it is: a
// name that ends in "." or a blank is that name, not the one without it. Its file name is the
// name as listed.
struct FsFolderEntry {
    std::filesystem::path path;
    FsEntry kind = FsEntry::Unknown;
};

// Lists what stands in the folder, "." and ".." left out, in no set order, at any length of
// path the host allows (on Windows past MAX_PATH where long paths are on; the C runtime's own
// listing stops at MAX_PATH). A link to a folder names it: the caller asks fsEntryAt first when
// it must not look through one. True when the whole folder was read; false with the system's
// reason in error when it cannot be listed or a step through it fails, with what was read
// before that in entries.
bool fsListFolder(const std::filesystem::path& folder, std::vector<FsFolderEntry>& entries,
                  std::error_code& error);

// Renames from to to in one step, replacing a file that stands at to; it never copies, so a
// rename across file systems fails (fsIsOtherDevice). A read-only attribute of the file it
// replaces does not stop it. False with the system's reason in error.
bool fsRename(const std::filesystem::path& from, const std::filesystem::path& to,
              std::error_code& error);

// How long one change of a name waits for a file another program holds before it gives up.
inline constexpr std::chrono::milliseconds kFsHeldFileWait{3000};

// The waiting a series of changes may do in all for files other programs hold: each change
// waits only for what the earlier ones left, so that many held files cost no more than one.
// A change still tries once when nothing is left.
struct FsPatience {
    std::chrono::milliseconds left = kFsHeldFileWait;
};

// Removes the file, link (never its target) or empty folder at the name, a read-only one too.
// True when something was removed; false with error clear when nothing stood there, and false
// with the system's reason in error otherwise. The second form waits for a held file only as
// long as patience has left, and takes what it waited from it.
bool fsRemove(const std::filesystem::path& path, std::error_code& error);
bool fsRemove(const std::filesystem::path& path, std::error_code& error, FsPatience& patience);

// True where every folder sees two names that differ only in letter case as one (Windows);
// false where that depends on the disk and the folder (an exFAT or FAT disk, a FUSE mount, an
// ext4 folder with case folding), which is then asked by listing the folder.
bool fsNamesAlwaysIgnoreCase();

// Removes the empty folder at the name and nothing else: a file or link that stands there by
// now stays. True when the folder went; false with the system's reason in error otherwise.
bool fsRemoveFolder(const std::filesystem::path& path, std::error_code& error);

// Whether the system lets this process add files to the folder, asked without leaving anything
// behind. False, with the system's reason in why, only when it refuses for want of access (the
// folder's permissions, an immutable folder, a read-only file system or disk); a question the
// system cannot answer counts as yes, so the writes themselves report what goes wrong.
bool fsMayAddFiles(const std::filesystem::path& folder, std::error_code& why);

// Whether the host can use a file at this absolute path at all, checked before anything is
// changed: null when it fits the host's limits on the whole path and on each name in it; else
// a short lower-case reason ("the path is too long", "a name in the path is too long"). Pass
// the longest name the file will have (its ".part" name). POSIX counts bytes against PATH_MAX
// and NAME_MAX; Windows counts UTF-16 units, 255 to a name, and the whole path against
// MAX_PATH (a folder leaving room for an 8.3 name) unless long paths are enabled for the
// process (the launcher's manifest declares it aware; the system's setting decides).
const char* fsPathLimitProblem(const std::filesystem::path& absolute);

// Makes the bytes already flushed from the stream's buffer durable. False when the system
// reports that they could not be written.
bool fsSyncFile(std::FILE* file);

// Starts writing the bytes already flushed from the stream's buffer to the disk without waiting
// for them, so that a later sync of the file finds little left to do. Only a hint: nothing is
// reported, and a system without such a call does nothing.
void fsStartWriteback(std::FILE* file);

// Makes the content of a file written earlier (and closed since) durable, found again by its
// name. False when it cannot be opened or the system reports that its bytes could not be
// written, with the system's reason in error.
bool fsSyncPath(const std::filesystem::path& path, std::error_code& error);

// Makes the folder's entries (a rename just done in it) durable. Failures are ignored: the
// file's own content is already safe, only the name may fall back to its old one.
void fsSyncFolder(const std::filesystem::path& folder);

// True where a running program's file can be replaced by renaming another file over it, so the
// launcher's name never goes without a launcher (POSIX); false where the running file must be
// moved aside first (Windows).
bool fsRunningFileIsReplaceable();

// Takes an exclusive advisory lock on the file (created when absent, never through a link)
// without waiting, for as long as the returned handle stays open. A file it makes may be opened
// by everyone who may write the folder. A file this process may read but not write is locked
// all the same. -1 when it is not taken: heldElsewhere then says
// whether another holder has it (otherwise the file could not be opened), and refused, when
// given, holds the system's reason when the file could not be opened or made because this
// process may not (no access to it or its folder, a read-only file system), as the system
// confirms; clear otherwise. The lock goes with the process, however it ends; handles are not
// inherited by started programs. Where the system allows it, the name cannot be removed or
// renamed while the lock is held.
std::intptr_t fsTryLockFile(const std::filesystem::path& path, bool& heldElsewhere,
                            std::error_code* refused = nullptr);

// Puts a new lock file, which everyone who may write the folder can open, in place of the file
// at the name, which this process may not open (another user's, or made unreadable): made
// beside it and renamed over it, so the name never goes missing. Two processes doing it at once
// never replace each other's new file, which one of them may hold locked by then: the second
// finds the name open to it and leaves it. True when this process replaced it; false with error
// clear when the name needs no replacing by now; false with the system's reason otherwise.
bool fsReplaceLockFile(const std::filesystem::path& path, std::error_code& error);

// Whether the locked handle is still the file at the name: false when the name was removed or
// now names another file (another launcher cleared the name between the open and the lock).
bool fsLockedFileIsAtName(std::intptr_t handle, const std::filesystem::path& path);

// Releases the lock and closes the handle; -1 is ignored.
void fsUnlockFile(std::intptr_t handle);

} // namespace qv::launcher
