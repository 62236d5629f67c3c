// File-level work of an update: whole-file replacement that never shows half a file, the record
// of what is installed, deciding whether a game file already matches its release entry, and
// moving the verified downloads from ".staging" into the game folder.
#include <map>
#include <system_error>

#include "base/platform.h"
#include "update/fs_os.h"
#include "update/hex.h"
#include "update/signed_text.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

namespace {

// A rename that replaces the target; a target the system will not replace in one step (some
// systems refuse while it exists) is removed and the rename tried once more.
bool renameReplacing(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
    fs::remove(to, ec);
    fs::rename(from, to, ec);
    return !ec;
}

} // namespace

bool writeFileAtomic(const fs::path& path, const std::uint8_t* data, std::size_t length) {
    fs::path part = path;
    part += ".part";
    std::FILE* file = fsOpenWrite(part);
    if (!file) return false;
    bool written = length == 0 || std::fwrite(data, 1, length, file) == length;
    // The last buffered bytes can fail only at the flush or the close; either way a short file
    // must not take the final name. The sync makes the content durable before the rename does.
    written = written && std::fflush(file) == 0 && fsSyncFile(file);
    if (std::fclose(file) != 0) written = false;
    if (!written) return false;

    if (!renameReplacing(part, path)) {
        std::error_code ec;
        fs::remove(part, ec);
        return false;
    }
    fsSyncFolder(path.parent_path());
    return true;
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

bool Updater::loadInstalled(Manifest& installed) {
    std::string text;
    std::string body;
    std::string ignored;
    return readFile(gameDir() / ".installed", text) &&
           verifySigned(text, releaseKey.data(), body) && parseManifest(body, installed, ignored);
}

bool Updater::fileMatches(const Entry& entry, const Manifest* installed, bool deep) {
    fs::path target;
    if (!gameFile(entry.path, target)) return false;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(target, ec);
    if (ec || size != entry.size) return false; // a file of the wrong size is never hashed
    if (deep) return hashFile(toUtf8(target)) == entry.hash;
    // Shallow: a file of the right size holds what ".installed" says was put there.
    if (!installed) return false;
    const Entry* recorded = installed->find(entry.path);
    return recorded && recorded->hash == entry.hash;
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
        fs::create_directories(target.parent_path(), ec); // a failure shows at the move below

        const fs::file_status status = fs::symlink_status(target, ec);
        if (!ec && fs::status_known(status) && status.type() != fs::file_type::not_found) {
            fs::remove(target, ec);
            if (ec) {
                error = "cannot replace " + entry->path + ": close Corvanthe and try again";
                return false;
            }
        }

        bool moved;
        const auto earlier = placed.find(entry->hash);
        if (earlier != placed.end()) {
            fs::copy_file(earlier->second, target, ec);
            moved = !ec;
        } else {
            moved = renameReplacing(staging / entry->hash, target);
        }
        if (!moved) {
            error = "cannot put " + entry->path + " in place";
            return false;
        }
        placed.emplace(entry->hash, target);
    }
    return true;
}

} // namespace qv::launcher
