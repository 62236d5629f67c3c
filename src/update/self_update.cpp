// Replacing the running launcher with the one a release names: fetch and verify it like any
// object, write it beside the running file, swap the two by renames that are undone when the
// second fails, and start the new one with the launcher's own arguments plus "--updated".
#include "base/log.h"
#include "base/platform.h"
#include "update/fs_os.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

bool swapLauncherFiles(const fs::path& exe, const fs::path& fresh, const fs::path& old,
                       std::string& error, const RenameFunction& rename) {
    std::error_code ec;
    fs::remove(old, ec); // the previous launcher of an earlier self-update
    rename(exe, old, ec);
    if (ec) {
        fs::remove(fresh, ec);
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
                                     std::error_code& ec) { fs::rename(from, to, ec); };
    if (!swapLauncherFiles(exe, fresh, old, error, rename)) return false;

    std::vector<std::string> arguments = restartArgs;
    arguments.push_back("--updated");
    // The new launcher checks at once; it must not find this run still holding the folder.
    fsUnlockFile(folderLock);
    folderLock = -1;
    bool started;
    try {
        started = startProcess(exe, arguments, launcherDir, error);
    } catch (const fs::filesystem_error&) {
        // The swap stays done: the next start of the launcher runs the new one.
        error = "cannot restart the launcher (an argument is not valid UTF-8)";
        started = false;
    }
    if (!started) return false;

    logInfo("launcher: replaced itself with %s; restarting", launcher.hash.c_str());
    setStatus(Restarting, "Restarting the launcher", -1.0);
    return true;
}

} // namespace qv::launcher
