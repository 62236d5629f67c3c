// Getting the game folder ready for an install: whether every path of the release can be put in
// place, checked before anything is downloaded or changed; the dropped files that stand where the
// new ones go; and the record of the release being placed, written before its first file.
#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "update/disk_case.h"
#include "update/fs_os.h"
#include "update/release_index.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

namespace {

// The paths of the files an install places and of the folders above them, each found in one
// look-up: a dropped path stands in the way of one of them when it is one of those folders, or
// when one of those files is a folder above it ("data" and "data/level.pak"). Spelled in other
// letter case, it does so where the disk finds the one under the other's name.
class PlacedPaths {
  public:
    explicit PlacedPaths(const std::vector<const Entry*>& entries) {
        for (const Entry* entry : entries) {
            const std::string_view path = entry->path;
            files_.insert(path);
            foldedFiles_.emplace(foldCase(entry->path), path);
            for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
                 slash = path.find('/', slash + 1)) {
                folders_.insert(path.substr(0, slash));
                foldedFolders_.emplace(foldCase(entry->path.substr(0, slash)),
                                       path.substr(0, slash));
            }
        }
    }
    // Whether the path stands in the way; if so, spelled is the path as the placing spells it.
    // A removal under that spelling is the one a FUSE mount's cache of names takes in at once:
    // after a removal under the old spelling, the new one may still find the old file there
    // for a moment.
    bool inTheWay(std::string_view path, DiskCase& disk, std::string& spelled) const {
        spelled = path;
        if (folders_.count(path)) return true;
        if (const std::string_view* folder = sameOnDisk(foldedFolders_, path, disk)) {
            spelled = *folder;
            return true;
        }
        if (const auto at = listedFolders_.find(path); at != listedFolders_.end()) {
            spelled = at->second;
            return true;
        }
        for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
             slash = path.find('/', slash + 1)) {
            const std::string_view folder = path.substr(0, slash);
            if (files_.count(folder)) return true;
            const std::string_view* file = sameOnDisk(foldedFiles_, folder, disk);
            if (const auto at = listedFiles_.find(folder); !file && at != listedFiles_.end())
                file = &at->second;
            if (file) {
                spelled = std::string(*file) + std::string(path.substr(slash));
                return true;
            }
        }
        return false;
    }
    // Where the disk finds a placed path at an entry it lists under another spelling, one that
    // the table may keep apart from it ("σ" finds the folder "ς" on exFAT), that entry stands
    // in the way as well.
    void learnListedSpellings(DiskCase& disk) {
        std::string listed;
        for (const std::string_view file : files_) {
            if (disk.listedSpelling(file, listed) && listed != file)
                listedFiles_.emplace(listed, file);
        }
        for (const std::string_view folder : folders_) {
            if (disk.listedSpelling(folder, listed) && listed != folder)
                listedFolders_.emplace(listed, folder);
        }
    }

  private:
    using Folded = std::map<std::string, std::string_view>; // folded path -> path as placed
    // The placed path that the path leads to in other letter case, or null.
    static const std::string_view* sameOnDisk(const Folded& placed, std::string_view path,
                                              DiskCase& disk) {
        const auto at = placed.find(foldCase(std::string(path)));
        if (at == placed.end() || at->second == path || !disk.sameEntry(at->second, path))
            return nullptr;
        return &at->second;
    }
    std::unordered_set<std::string_view> files_;
    std::unordered_set<std::string_view> folders_;
    Folded foldedFiles_;
    Folded foldedFolders_;
    // The placed paths by the spelling the disk lists them under, where that is another one.
    std::map<std::string, std::string_view, std::less<>> listedFiles_;
    std::map<std::string, std::string_view, std::less<>> listedFolders_;
};

// What the earlier releases list and this one does not, found by the path as spelled there or,
// where the disk ignores case, by any spelling that leads to the same file.
class DroppedPaths {
  public:
    DroppedPaths(const std::vector<const Manifest*>& earlier, const CaseFoldedPaths& now,
                 const fs::path& game)
        : disk_(game) {
        for (const Manifest* release : earlier) {
            for (const Entry& old : release->files) {
                if (now.has(old.path)) continue;
                exact_.insert(old.path);
                folded_.emplace(foldCase(old.path), old.path);
            }
        }
    }
    bool hasExactly(std::string_view path) const { return exact_.count(path) != 0; }
    bool has(std::string_view path) {
        if (hasExactly(path)) return true;
        const auto at = folded_.find(foldCase(std::string(path)));
        if (at != folded_.end() && disk_.sameEntry(at->second, path)) return true;
        // The disk may fold names that the table keeps apart: the entry found at the path is
        // the one its folders list.
        std::string listed;
        return disk_.listedSpelling(path, listed) && hasExactly(listed);
    }

  private:
    std::unordered_set<std::string_view> exact_;
    std::map<std::string, std::string_view> folded_; // folded path -> path as listed
    DiskCase disk_;
};

// Whether every file inside the folder (given as the release path of the folder) is one of
// the dropped files, so that the folder is empty once they have gone.
bool holdsOnlyDropped(const fs::path& folder, const std::string& relative, DroppedPaths& dropped) {
    std::error_code ec;
    std::vector<FsFolderEntry> inside;
    if (!fsListFolder(folder, inside, ec)) return false;
    for (const FsFolderEntry& it : inside) {
        const std::string inner = relative + "/" + toUtf8(it.path.filename());
        const bool kept = it.kind == FsEntry::Folder ? !holdsOnlyDropped(it.path, inner, dropped)
                                                     : !dropped.has(inner);
        if (kept) return false;
    }
    return true;
}

// Whether the folder holds nothing at all; one that cannot be listed may hold anything.
bool isEmptyFolder(const fs::path& folder) {
    std::vector<FsFolderEntry> inside;
    std::error_code ec;
    return fsListFolder(folder, inside, ec) && inside.empty();
}

} // namespace

bool Updater::canPlaceAll(const std::vector<const Manifest*>& earlier, std::string& error) const {
    // What an earlier release lists and this one does not goes before anything is placed.
    const CaseFoldedPaths now(latest);
    DroppedPaths dropped(earlier, now, gameDir());
    const auto refuse = [&error](const std::string& path, const std::string& why) {
        error = "cannot install " + path + " (" + why + ")";
        return false;
    };
    std::unordered_set<std::string_view> folders; // folders already found fit to hold files
    for (const Entry* entry : toInstall) {
        const std::string& path = entry->path;
        fs::path target;
        if (!gameFile(path, target)) return refuse(path, "not valid UTF-8");
        fs::path part = target;
        part += ".part";
        std::error_code ec;
        // The temporary copy's name is the longer one; the host must hold both.
        const char* limit = fsPathLimitProblem(fs::absolute(part, ec));
        if (!limit) limit = fsPathLimitProblem(fs::absolute(target, ec));
        if (limit) return refuse(path, limit);
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string_view folder = std::string_view(path).substr(0, slash);
            if (folders.count(folder) || dropped.hasExactly(folder)) continue;
            fs::path at;
            gameFile(std::string(folder), at);
            const FsEntry standing = fsEntryAt(at);
            // A link to a folder (a folder the player keeps on another drive) holds files too.
            if (standing == FsEntry::Absent || standing == FsEntry::Folder ||
                (standing == FsEntry::Link && fs::is_directory(fs::status(at, ec)))) {
                folders.insert(folder);
                continue;
            }
            if (dropped.has(folder)) continue; // the dropped file in other letter case
            return refuse(path, "the file " + std::string(folder) + " is in the way");
        }
        if (fsEntryAt(target) == FsEntry::Folder && !holdsOnlyDropped(target, path, dropped))
            return refuse(path, "a folder with other files in it is in the way");
        if (fsEntryAt(part) == FsEntry::Folder && !isEmptyFolder(part))
            return refuse(path, "the folder " + path + ".part is in the way");
    }
    return true;
}

std::set<std::string> Updater::removeDroppedInTheWay(const std::vector<const Manifest*>& earlier,
                                                     FsPatience& patience) {
    // A release may turn a file into a folder or a folder into a file. The old file (or the old
    // files inside the folder) would block placing the new one on every run, so those dropped
    // files go now instead of after the install. Spelled in other letter case, they go under
    // the new spelling, and the old one is not used again: a FUSE mount may keep each spelling
    // apart for a moment, and a look into a folder gone under the other one can end its server.
    const CaseFoldedPaths now(latest);
    PlacedPaths placing(toInstall);
    DiskCase disk(gameDir());
    placing.learnListedSpellings(disk);
    std::string spelled;
    std::set<std::string> handled;
    for (const Manifest* release : earlier) {
        for (const Entry& old : release->files) {
            if (handled.count(old.path) || now.has(old.path) ||
                !placing.inTheWay(old.path, disk, spelled))
                continue;
            // What stands at the name after the install is the new release's own.
            handled.insert(old.path);
            removeDroppedFile(old.path, patience, spelled);
        }
    }
    // A path the release only spells in other letter case names, where file names ignore case,
    // the file already there: it takes the new spelling first, since replacing or keeping it
    // would leave the old spelling on the name. A rename between two spellings of one name may
    // do nothing, so it goes through the ".part" name, which placing clears if a run stops
    // half-way.
    DiskCase respelling(gameDir());
    for (const Manifest* release : earlier) {
        for (const Entry& old : release->files) {
            const std::string* same = now.find(old.path);
            fs::path target;
            fs::path respelled;
            std::error_code ec;
            if (!same || *same == old.path || !gameFile(old.path, target) ||
                !gameFile(*same, respelled) || !respelling.sameEntry(old.path, *same))
                continue;
            fs::path through = respelled;
            through += ".part";
            if (fsRename(target, through, ec)) fsRename(through, respelled, ec);
        }
    }
    // Folders emptied that way may stand where a new file goes; a folder that still holds
    // anything (the player's own files) stays, and placing the file then reports it.
    for (const Entry* entry : toInstall) {
        fs::path target;
        if (gameFile(entry->path, target)) removeFolderTree(target, false);
    }
    return handled;
}

void Updater::removeDroppedAfterInstall(const std::vector<const Manifest*>& earlier,
                                        std::set<std::string>& handled, FsPatience& patience) {
    const CaseFoldedPaths now(latest);
    DiskCase disk(gameDir());
    // The release's paths as the disk lists them. A path found at an entry that the listing
    // cannot tell keeps every dropped path of as many names, any of which it may be. Looked up
    // once the first dropped path needs them.
    std::set<std::string, std::less<>> listedRelease;
    std::set<std::size_t> untoldDepths;
    bool looked = false;
    const auto depth = [](std::string_view path) {
        return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
    };
    const auto lastName = [](std::string_view path) { return path.substr(path.rfind('/') + 1); };
    std::string listed;
    for (const Manifest* release : earlier) {
        for (const Entry& old : release->files) {
            // A path that differs from a new one only in letter case names the same file on a
            // system that ignores case: the file just placed there. It goes only when it is
            // another file, as the folder that holds it tells (not the inode number, which a
            // FUSE mount may give each spelling of one file).
            const std::string* same = now.find(old.path);
            fs::path target;
            fs::path placed;
            if (same && (*same == old.path || !gameFile(old.path, target) ||
                         !gameFile(*same, placed) || disk.sameEntry(old.path, *same)))
                continue;
            if (!handled.insert(old.path).second) continue;
            // A disk may also fold names that the table keeps apart ("ς" and "σ" on exFAT). The
            // file goes only where its folder lists it under exactly its name, and no path of
            // the release is found at that entry: what stands at the name under another
            // spelling is another entry, the new file or one of the player's.
            if (!disk.listedSpelling(old.path, listed) || lastName(listed) != lastName(old.path))
                continue;
            if (!looked) {
                looked = true;
                std::string path;
                for (const Entry& entry : latest.files) {
                    fs::path at;
                    if (disk.listedSpelling(entry.path, path)) {
                        listedRelease.insert(path);
                    } else if (gameFile(entry.path, at) && fsEntryAt(at) != FsEntry::Absent) {
                        untoldDepths.insert(depth(entry.path));
                    }
                }
            }
            if (listedRelease.count(listed) || untoldDepths.count(depth(old.path))) continue;
            removeDroppedFile(old.path, patience, listed);
        }
    }
}

bool Updater::beginInstall(const Manifest* unfinished, std::string& error) {
    std::error_code ec;
    // A release without files leaves no game folder behind; the records still need one.
    fs::create_directories(gameDir(), ec);
    unsyncedFiles.clear(); // what an earlier, failed run noted is no concern of this one
    unsyncedFolders.clear();
    if (unfinished) {
        // The record about to be replaced is the only trace of the files its install placed. A
        // file of it that already holds this release's content (it is not to be installed) is
        // covered by the new record; every other one goes before that record is given up.
        const PathIndex release(&latest);
        const std::unordered_set<const Entry*> toPlace(toInstall.begin(), toInstall.end());
        for (const Entry& placed : unfinished->files) {
            fs::path target;
            if (!gameFile(placed.path, target)) continue;
            fs::path part = target;
            part += ".part";
            fsRemove(part, ec); // a copy the interruption cut short
            const Entry* wanted = release.find(placed.path);
            if (wanted && !toPlace.count(wanted)) continue;
            if (fsEntryAt(target) == FsEntry::Folder)
                continue; // a folder now: the file it was is gone already
            if (!removeGameFile(placed.path, error)) return false;
        }
        // A removal the disk has not taken would bring back a file no record names any more.
        if (!syncGameChanges(error)) return false;
    }
    if (!writeFileAtomic(gameDir() / kInstallingRecord,
                         reinterpret_cast<const std::uint8_t*>(rawManifest.data()),
                         rawManifest.size(), ec)) {
        error = "cannot write to " + toUtf8(gameDir()) + " (" + errorReason(ec) + ")";
        return false;
    }
    return true;
}

} // namespace qv::launcher
