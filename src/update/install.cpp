// File-level work of an update: whole-file replacement that never shows half a file, the records
// of what is installed and of what is being placed, deciding whether a game file already matches
// its release entry, and moving the verified downloads from ".staging" into the game folder.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "base/platform.h"
#include "base/text.h"
#include "update/fs_os.h"
#include "update/hex.h"
#include "update/signed_text.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

namespace {

// A rename that replaces the target in one step. A file at the target stays until its
// replacement is in place, so a failed rename never loses it; only an empty folder in the way
// (which no rename replaces) is removed first. Only for renames inside one folder, which cannot
// fail for lack of room.
bool renameReplacing(const fs::path& from, const fs::path& to, std::error_code& ec) {
    if (fsRename(from, to, ec)) return true;
    std::error_code removal;
    if (fsEntryAt(to) != FsEntry::Folder || !fsRemove(to, removal)) return false;
    return fsRename(from, to, ec);
}

// Writes the file's bytes through "<path>.part": whatever stands at that name goes first (a
// link planted there must not make the launcher write through it), the new file is created
// exclusively, filled by fill, made durable when asked, and only then renamed over the final
// name.
bool writeThroughPart(const fs::path& path, const std::function<bool(std::FILE*)>& fill,
                      std::error_code& ec, Durability durability) {
    fs::path part = path;
    part += ".part";
    // What cannot go (another program holds it) is the reason the write fails.
    fsRemove(part, ec);
    if (ec) return false;
    std::FILE* file = fsCreateNew(part, ec);
    if (!file) return false;
    errno = 0;
    bool written = fill(file);
    // The last buffered bytes can fail only at the flush or the close; either way a short file
    // must not take the final name. The sync makes the content durable before the rename does.
    written = written && std::fflush(file) == 0;
    if (durability == Durability::Durable) {
        written = written && fsSyncFile(file);
    } else if (written) {
        fsStartWriteback(file);
    }
    if (!written) ec.assign(errno != 0 ? errno : EIO, std::generic_category());
    if (std::fclose(file) != 0 && written) {
        written = false;
        ec.assign(errno != 0 ? errno : EIO, std::generic_category());
    }
    if (written && renameReplacing(part, path, ec)) {
        if (durability == Durability::Durable) fsSyncFolder(path.parent_path());
        return true;
    }
    std::error_code ignored;
    fsRemove(part, ignored);
    return false;
}

// Syncs the files several at a time: the file system can then let one journal commit and one
// flush of the disk's cache serve many of them, where one by one each would wait for its own.
// The index of a file that could not be synced, with the system's reason in ec, or files.size()
// when every one was.
std::size_t syncFiles(const std::vector<fs::path>& files, std::error_code& ec) {
    constexpr std::size_t kThreads = 8;
    constexpr std::size_t kFilesPerThread = 16; // fewer are not worth a thread
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed{files.size()};
    const auto work = [&] {
        for (std::size_t i = next++; i < files.size() && failed.load() == files.size();
             i = next++) {
            std::size_t none = files.size();
            std::error_code reason;
            // Only the thread that reports the failure writes ec; the joins publish it.
            if (!fsSyncPath(files[i], reason) && failed.compare_exchange_strong(none, i))
                ec = reason;
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min(kThreads, files.size() / kFilesPerThread);
    try {
        while (helpers.size() + 1 < wanted)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // A helper that cannot start leaves its share to the others.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    return failed.load();
}

// Makes the folder and the missing ones above it, one level at a time: the library's own call
// gives up on a path of more than a thousand new folders that the host can hold all the same.
// Whatever stands where a folder goes is reported as that call reports it.
void makeFolders(const fs::path& folder, std::error_code& ec) {
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && fsEntryAt(at) == FsEntry::Absent;
         at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        fs::create_directory(*at, ec);
        if (ec) return;
    }
    fs::create_directories(folder, ec);
}

std::string replaceError(const std::string& path, const std::error_code& ec) {
    if (fsIsInUse(ec)) return "cannot replace " + path + ": close Corvanthe and try again";
    return "cannot replace " + path + " (" + errorReason(ec) + ")";
}

} // namespace

std::string writeError(const fs::path& folder, const std::error_code& ec) {
    const std::string start = "cannot write to " + toUtf8(folder);
    if (fsIsInUse(ec)) return start + " (a file there is in use by another program)";
    // A folder the player may not change (one under Program Files, one that Controlled Folder
    // Access guards, a read-only disk) says so; a full disk is only the likeliest of the rest.
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
        ec == std::errc::read_only_file_system)
        return start + " (" + errorReason(ec) + ")";
    return start + " (is the disk full?)";
}

namespace {

void stripStopAndLineEnd(std::string& text) {
    while (!text.empty() &&
           (text.back() == '.' || text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
}

} // namespace

std::string errorReason(const std::error_code& ec) {
    const std::string number = "error " + std::to_string(ec.value());
    std::string text = fsErrorText(ec);
    stripStopAndLineEnd(text);
    // The reason is drawn by the launcher's font, which a system's words may be beyond.
    if (!fontDrawsAll(text)) text = number;
    // The log keeps the system's own words, which may say more, in the user's language.
    std::string own = fsSystemWords(ec);
    stripStopAndLineEnd(own);
    if (own != text) logInfo("launcher: %s in the system's words: %s", number.c_str(), own.c_str());
    return text;
}

bool writeFileAtomic(const fs::path& path, const std::uint8_t* data, std::size_t length,
                     std::error_code& ec, Durability durability) {
    return writeThroughPart(
        path,
        [data, length](std::FILE* file) {
            return length == 0 || std::fwrite(data, 1, length, file) == length;
        },
        ec, durability);
}

bool writeFileAtomic(const fs::path& path, const std::uint8_t* data, std::size_t length) {
    std::error_code ec;
    return writeFileAtomic(path, data, length, ec);
}

// A copy that never shows half a file under the target's name: the old target stays whole until
// the new content is complete beside it.
bool copyFileAtomic(const fs::path& from, const fs::path& to, std::error_code& ec,
                    Durability durability) {
    std::FILE* source = fsOpenRead(from);
    if (!source) {
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    const bool copied = writeThroughPart(
        to,
        [source](std::FILE* file) {
            char buffer[65536];
            for (;;) {
                const std::size_t got = std::fread(buffer, 1, sizeof buffer, source);
                if (got == 0) return std::ferror(source) == 0;
                if (std::fwrite(buffer, 1, got, file) != got) return false;
            }
        },
        ec, durability);
    std::fclose(source);
    return copied;
}

void removeFolderTree(const fs::path& folder, bool withFiles) {
    const FsEntry entry = fsEntryAt(folder);
    std::error_code ec;
    std::error_code removal;
    if (entry != FsEntry::Folder) {
        if (withFiles && entry != FsEntry::Absent) fsRemove(folder, removal);
        return;
    }
    std::vector<FsFolderEntry> inside;
    fsListFolder(folder, inside, ec);
    for (const FsFolderEntry& it : inside)
        removeFolderTree(it.path, withFiles);
    // A folder only, and only when empty (it fails, as it should, while something is left
    // inside): a file that another launcher has put at the name meanwhile (its lock, once a
    // folder stood there) is not this walk's to remove.
    fsRemoveFolder(folder, removal);
}

bool Updater::gameFile(const std::string& relative, fs::path& out) const {
    // A release path that is not valid UTF-8 names no file this launcher can reach; it is
    // treated as absent (and cannot be put in place) instead of ending the run.
    try {
        out = gameDir() / pathFromUtf8(relative);
        return true;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

bool Updater::loadRecord(const char* name, Manifest& record, std::string& text, bool* unreadable) {
    const fs::path file = gameDir() / name;
    std::string body;
    std::string ignored;
    const bool verified = readSignedTextFile(file, text) &&
                          verifySigned(text, releaseKey.data(), body) &&
                          parseManifest(body, record, ignored);
    if (unreadable) *unreadable = !verified && fsEntryAt(file) != FsEntry::Absent;
    return verified && record.platform == platformName();
}

bool Updater::loadInstalled(Manifest& installed) {
    std::string text;
    return loadRecord(kInstalledRecord, installed, text);
}

bool Updater::fileMatches(const Entry& entry, const Manifest* installed, bool deep,
                          const Manifest* unfinished) {
    return fileMatchesRecorded(entry, installed ? installed->find(entry.path) : nullptr, deep,
                               unfinished ? unfinished->find(entry.path) : nullptr);
}

bool Updater::fileMatchesRecorded(const Entry& entry, const Entry* recorded, bool deep,
                                  const Entry* placing) {
    fs::path target;
    if (!gameFile(entry.path, target)) return false;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(target, ec);
    if (ec || size != entry.size) return false; // a file of the wrong size is never hashed
    if (deep) return hashFile(toUtf8(target)) == entry.hash;
    // Shallow: a file of the right size holds what ".installed" says was put there, or what an
    // interrupted install was putting there. When both name this content it is there, whichever
    // of them placed it; when only one does, only the file's bytes tell. The interrupted
    // install's record counts as much as the installed one: a file it placed is not fetched
    // again.
    const bool recordedHere = recorded && recorded->hash == entry.hash;
    const bool placedHere = placing && placing->hash == entry.hash;
    if (recordedHere && (!placing || placedHere)) return true;
    if (recordedHere || placedHere) return hashFile(toUtf8(target)) == entry.hash;
    return false;
}

bool Updater::removeGameFile(const std::string& relative, std::string& error) {
    fs::path target;
    if (!gameFile(relative, target)) return true; // nothing can stand at a name never reachable
    std::error_code ec;
    if (fsRemove(target, ec)) noteGameChange(target);
    // A file where one of its folders should be means the path holds nothing either.
    if (!ec || ec == std::errc::not_a_directory) return true;
    error = replaceError(relative, ec);
    return false;
}

bool Updater::removeDroppedFile(const std::string& relative, FsPatience& patience,
                                const std::string& onDisk) {
    fs::path target;
    if (!gameFile(onDisk.empty() ? relative : onDisk, target)) return false;
    std::error_code ec;
    if (fsRemove(target, ec, patience)) {
        noteGameChange(target);
        logInfo("launcher: removed %s", relative.c_str());
        return true;
    }
    // A file where one of its folders should be means the path holds nothing either.
    if (ec && ec != std::errc::not_a_directory)
        logWarn("launcher: cannot remove %s (%s)", relative.c_str(), errorReason(ec).c_str());
    return false;
}

bool Updater::installStaged(std::string& error) {
    const fs::path staging = launcherDir / ".staging";
    std::map<std::string, fs::path> placed; // content hash -> where it was first put this call
    for (const Entry* entry : toInstall) {
        fs::path target;
        if (!gameFile(entry->path, target)) {
            error = "cannot put " + entry->path + " in place";
            return false;
        }
        std::error_code ec;
        makeFolders(target.parent_path(), ec);
        if (ec) {
            // A file of the player's where a folder must go, or a folder that cannot be written.
            error = "cannot put " + entry->path + " in place (" + errorReason(ec) + ")";
            return false;
        }
        // A folder in the way (left empty by the removal of dropped files) goes first; a file
        // stays until its replacement is complete, so a failed placing never loses it.
        if (fsEntryAt(target) == FsEntry::Folder && !removeGameFile(entry->path, error))
            return false;

        const auto earlier = placed.find(entry->hash);
        const fs::path source = earlier != placed.end() ? earlier->second : staging / entry->hash;
        bool moved = false;
        if (earlier == placed.end()) {
            moved = fsRename(source, target, ec);
            // A copy an interrupted run began beside the target is not wanted any more.
            fs::path part = target;
            part += ".part";
            std::error_code ignored;
            if (moved) fsRemove(part, ignored);
            // A staged object on another file system than the game folder (a game folder linked
            // to another drive) cannot be renamed there and is copied below. Any other refusal
            // would refuse the copy's rename the same way, after copying the whole file.
            if (!moved && !fsIsOtherDevice(ec)) {
                error = fsIsInUse(ec)
                            ? replaceError(entry->path, ec)
                            : "cannot put " + entry->path + " in place (" + errorReason(ec) + ")";
                return false;
            }
        }
        // The copy goes beside the target and is renamed over it; it is synced with the
        // folders, after the last file is placed.
        if (!moved && !copyFileAtomic(source, target, ec, Durability::Deferred)) {
            if (fsIsInUse(ec)) {
                error = replaceError(entry->path, ec);
            } else {
                error = "cannot put " + entry->path + " in place (" + errorReason(ec) + ")";
            }
            return false;
        }
        if (!moved) unsyncedFiles.push_back(target);
        noteGameChange(target);
        placed.emplace(entry->hash, target);
    }
    return true;
}

bool Updater::stillPlaced(std::string& error) {
    // Something else removed it meanwhile (another program, or a disk that found it under a
    // name the launcher removed): no record may name a release with a file missing.
    for (const Entry* entry : toInstall) {
        fs::path target;
        if (gameFile(entry->path, target) && fsEntryAt(target) == FsEntry::Absent) {
            error = "the file " + entry->path + " went missing after it was placed";
            return false;
        }
    }
    return true;
}

bool Updater::syncStaged(std::string& error) {
    const fs::path staging = launcherDir / ".staging";
    std::set<std::string> hashes;
    std::vector<fs::path> staged;
    for (const Entry* entry : toInstall) {
        if (hashes.insert(entry->hash).second) staged.push_back(staging / entry->hash);
    }
    std::error_code ec;
    const std::size_t failed = syncFiles(staged, ec);
    if (failed == staged.size()) return true;
    error = writeError(staging, ec);
    // Its bytes may never reach the disk even though they read back whole now; the next run
    // fetches it again rather than trust it. A file another program holds was never reopened
    // and is kept for the next run.
    std::error_code ignored;
    if (!fsIsInUse(ec)) fsRemove(staged[failed], ignored);
    return false;
}

void Updater::noteGameChange(const fs::path& target) {
    const fs::path game = gameDir();
    for (fs::path folder = target.parent_path(); !folder.empty(); folder = folder.parent_path()) {
        // A folder already noted has had the folders above it noted too.
        if (!unsyncedFolders.insert(folder.native()).second || folder == game) return;
        if (folder == folder.parent_path()) return;
    }
}

bool Updater::syncGameChanges(std::string& error) {
    std::vector<fs::path> files;
    files.swap(unsyncedFiles);
    std::set<fs::path::string_type> folders;
    folders.swap(unsyncedFolders);
    std::error_code ec;
    if (syncFiles(files, ec) != files.size()) {
        error = writeError(gameDir(), ec);
        return false;
    }
    for (const fs::path::string_type& folder : folders)
        fsSyncFolder(fs::path(folder));
    return true;
}

} // namespace qv::launcher
