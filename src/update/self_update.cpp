// Replacing the running launcher with the one a release names: fetch and verify it like any
// object, write it beside the running file, put it in place (in one rename where the running
// file may be replaced, else by two renames that are undone when the second fails, finished at
// the next start when stopped between them), and start the new one with the launcher's own
// arguments plus "--updated". A new launcher that the system refuses to start, or that ends
// at once by the loader or a crash, is replaced by the one that runs.
#include "base/log.h"
#include "base/platform.h"
#include "update/fs_os.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

bool swapLauncherFiles(const fs::path& exe, const fs::path& fresh, const fs::path& old,
                       std::string& error, const RenameFunction& rename) {
    std::error_code ec;
    fsRemove(old, ec); // the previous launcher of an earlier self-update
    rename(exe, old, ec);
    if (ec) {
        fsRemove(fresh, ec);
        error = "cannot move the old launcher aside";
        return false;
    }
    rename(fresh, exe, ec);
    if (ec) {
        // The running launcher goes back under its own name; the new file waits under ".new"
        // and the next self-update overwrites it.
        std::error_code back;
        rename(old, exe, back);
        error = "cannot put the new launcher in place";
        return false;
    }
    return true;
}

bool replaceLauncherFile(const fs::path& exe, const fs::path& fresh, const fs::path& old,
                         std::string& error, const RenameFunction& rename) {
    std::error_code ec;
    fsRemove(old, ec); // the previous launcher of an earlier self-update
    // The running launcher stays under `old` so that a new one that will not start can be taken
    // out again; a file system without hard links gets a copy. Without either there would be no
    // way back, so the new launcher is not put in place.
    fs::create_hard_link(exe, old, ec);
    if (ec) {
        if (!copyFileAtomic(exe, old, ec)) {
            fsRemove(fresh, ec);
            error = "cannot keep the running launcher beside the new one";
            return false;
        }
        makeExecutable(old);
    }
    rename(fresh, exe, ec);
    if (ec) {
        error = "cannot put the new launcher in place";
        return false;
    }
    return true;
}

bool undoLauncherSwap(const fs::path& exe, const fs::path& old, const RenameFunction& rename) {
    // One rename that replaces the refused file: the name holds a file at every moment, the
    // refused one until the launcher that ran is back. Two renames (the refused file back to
    // ".new" first) would leave the name empty between them, and the next start would finish
    // that "swap" with the refused file.
    std::error_code ec;
    rename(old, exe, ec);
    return !ec;
}

void finishLauncherSwap(const fs::path& self) {
    fs::path exe = self;
    const fs::path suffix = self.extension();
    if (suffix == ".old" || suffix == ".new") exe.replace_extension();
    fs::path fresh = exe;
    fresh += ".new";
    std::error_code ec;
    if (exe.empty() || fsEntryAt(exe) != FsEntry::Absent || !fs::is_regular_file(fresh, ec)) return;
    if (fsRename(fresh, exe, ec)) logInfo("launcher: finished replacing %s", toUtf8(exe).c_str());
}

bool Updater::selfUpdate(const Entry& launcher, std::string& error) {
    const fs::path exe = selfPath();
    if (exe.empty()) {
        error = "cannot find the launcher's own file";
        return false;
    }
    setStatus(Working, "Updating the launcher", 0.0);

    std::vector<std::uint8_t> bytes;
    if (!fetchObject(launcher, bytes, 0, launcher.packedSize, error)) return false;

    fs::path fresh = exe;
    fresh += ".new";
    fs::path old = exe;
    old += ".old";
    if (!writeFileAtomic(fresh, bytes.data(), bytes.size())) {
        error = "cannot write beside the launcher";
        return false;
    }
    bytes.clear();
    bytes.shrink_to_fit();
    makeExecutable(fresh);

    const RenameFunction rename = [](const fs::path& from, const fs::path& to,
                                     std::error_code& ec) { fsRename(from, to, ec); };
    const bool swapped = fsRunningFileIsReplaceable()
                             ? replaceLauncherFile(exe, fresh, old, error, rename)
                             : swapLauncherFiles(exe, fresh, old, error, rename);
    if (!swapped) return false;

    std::vector<std::string> arguments = restartArgs;
    arguments.push_back("--updated");
    // The new launcher checks at once; it must not find this run still holding the folder.
    fsUnlockFile(folderLock);
    folderLock = -1;
    bool started;
    bool refused = false;
    std::string endedAtStart;
    try {
        for (const std::string& argument : arguments)
            pathFromUtf8(argument); // throws before the screen says anything of a restart
        // The system accepting the file says nothing yet of whether it loads: the new launcher
        // is watched for a moment, while the window stays up and says what goes on.
        setStatus(Working, "Restarting the launcher", -1.0);
        started = startWatchedProcess(exe, arguments, launcherDir, restartWatch, endedAtStart,
                                      error, &refused);
    } catch (const fs::filesystem_error&) {
        // The swap stays done: the next start of the launcher runs the new one.
        error = "cannot restart the launcher (an argument is not valid UTF-8)";
        started = false;
    }
    if (started && !endedAtStart.empty()) {
        // Ended by the loader or a crash as it started: every later start would end the same.
        started = false;
        refused = true;
        error = "the new launcher ended as it started (" + endedAtStart + ")";
    }
    if (!started) {
        // A file the system will not run as a program would fail every later start as well and
        // leave the player without a launcher: the launcher that runs goes back under its name.
        // Any other failure keeps the swap, so that the next start runs the new one.
        if (refused && !undoLauncherSwap(exe, old, rename))
            logWarn("launcher: cannot put the running launcher back under %s", toUtf8(exe).c_str());
        return false;
    }

    logInfo("launcher: replaced itself with %s; restarting", launcher.hash.c_str());
    setStatus(Restarting, "Restarting the launcher", -1.0);
    return true;
}

} // namespace qv::launcher
