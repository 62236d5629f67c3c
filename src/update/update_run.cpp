// One run of the update client, the one place of the update policy: when the network is used,
// when files are hashed, what is downloaded again, what is deleted, and which phase and status
// text the screen gets for each outcome.
#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>

#include "base/log.h"
#include "base/platform.h"
#include "update/fs_os.h"
#include "update/hex.h"
#include "update/release_index.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace qv::launcher {

namespace {

// snprintf cuts a long text at a byte; step back so the text does not end in half a character.
void trimToWholeCharacter(char* text) {
    std::size_t end = std::strlen(text);
    std::size_t start = end;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0) return;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (end - (start - 1) < need) text[start - 1] = '\0';
}

bool showsLiveResult(std::int32_t phase) {
    return phase == Updater::UpToDate || phase == Updater::NotInstalled ||
           phase == Updater::UpdateAvailable;
}

} // namespace

std::string formatSize(std::uint64_t n) {
    char text[32];
    if (n >= 1073741824ull) {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(n) / 1073741824.0);
    } else if (n >= 1048576ull) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(n) / 1048576.0);
    } else if (n >= 1024ull) {
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(n) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(n));
    }
    return text;
}

void Updater::run(bool online, bool apply, bool verify, bool allowSelfUpdate) {
    // 1. What is installed, and what an interrupted install may have placed since.
    Manifest installed;
    std::string installedText;
    const bool installedOk = loadRecord(kInstalledRecord, installed, installedText);
    Manifest pending;
    std::string pendingText;
    bool pendingUnreadable = false;
    const bool pendingOk = loadRecord(kInstallingRecord, pending, pendingText, &pendingUnreadable);
    // A record of an interrupted install that cannot be read (torn by a power cut, altered)
    // still says that an install was placing files: any file of the right size may hold
    // another release's bytes, so every one is hashed, and the install counts as unfinished.
    const bool unfinished =
        pendingUnreadable || (pendingOk && !(installedOk && pendingText == installedText));
    const Manifest* placing = pendingOk && unfinished ? &pending : nullptr; // what it placed
    const fs::path gameExe = gameDir() / gameExecutableName();
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.installedVersion = installedOk ? installed.version : std::string();
        // A status that cannot be read (no access) counts as no game, and so does a game left
        // half-way between two releases: nothing claims to be playable that might not start.
        std::error_code ec;
        state.gamePresent = installedOk && !unfinished && fs::exists(gameExe, ec);
    }
    std::string error;

    // 2. The channel's news and manifest.
    // The player may pick another channel while the run waits for the server. What the run
    // learnt then belongs to the old one; it is dropped, and the run becomes the check of the
    // new channel that the front end asked for while this run kept the worker busy.
    const std::uint64_t startGeneration = currentGeneration();
    runGeneration = startGeneration;
    const auto checkAgain = [&] {
        logInfo("launcher: channel changed during the run; checking again");
        run(true, false, false, false);
    };
    if (online) {
        setStatus(Checking, "Looking for updates", -1.0);
        std::string news;
        if (fetchSigned("news.txt", news, error)) {
            std::lock_guard<std::mutex> lock(mutex);
            if (generation == startGeneration) state.news = std::move(news);
        } else {
            logWarn("launcher: news: %s", error.c_str());
        }

        const std::string manifestName = std::string("manifest-") + platformName() + ".txt";
        haveManifest.store(false);
        std::string body;
        Manifest fresh;
        if (fetchSigned(manifestName, body, error) && parseManifest(body, fresh, error)) {
            if (fresh.platform != platformName()) {
                setStatus(Failed, "the server offered a build for " + fresh.platform, -1.0);
                return;
            }
            // A release that cannot be installed is refused before anything is fetched or
            // changed, rather than half-installed again on every run.
            if (!checkInstallable(fresh, error)) {
                logWarn("launcher: refused %s: %s", fresh.version.c_str(), error.c_str());
                setStatus(Failed, error, -1.0);
                return;
            }
            toInstall.clear(); // it points into the manifest about to be replaced
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (generation == startGeneration) {
                    latest = std::move(fresh);
                    haveManifest.store(true);
                }
            }
            if (!haveManifest.load()) {
                checkAgain();
                return;
            }
            logInfo("launcher: latest %s, installed %s", latest.version.c_str(),
                    installedOk ? installed.version.c_str() : "nothing");
            {
                std::lock_guard<std::mutex> lock(mutex);
                state.latestVersion = latest.version;
            }
            if (allowSelfUpdate && !latest.launcher.hash.empty()) {
                const std::string own = hashFile(toUtf8(selfPath()));
                if (!own.empty() && own != latest.launcher.hash) {
                    if (!readOnlyCause.empty()) {
                        logWarn("launcher: self-update failed: %s", readOnlyCause.c_str());
                    } else if (selfUpdate(latest.launcher, error)) {
                        return; // the new launcher runs now
                    } else {
                        // The lock went to the new launcher that did not start; without it
                        // taken back, another launcher could change the folder beside this run.
                        std::string lockError;
                        const bool locked = folderLock != -1 || takeFolderLockBack(lockError);
                        logWarn("launcher: self-update failed: %s", error.c_str());
                        if (!locked) {
                            setStatus(Failed, lockError, -1.0);
                            return;
                        }
                    }
                }
            }
        } else {
            logWarn("launcher: %s", error.c_str());
            bool changed = false;
            bool refused = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                changed = generation != startGeneration;
                refused = !changed && state.keyState == KeyRefused && state.channel == Testing;
                if (refused) {
                    channel = Live;
                    state.channel = Live;
                }
            }
            if (changed) {
                checkAgain();
                return;
            }
            const Snapshot seen = snapshot();
            if (refused) {
                logWarn("launcher: playtester key refused; following Live");
                run(true, apply, verify, allowSelfUpdate);
                const Snapshot after = snapshot();
                setStatus(after.phase,
                          showsLiveResult(after.phase) ? "Playtester key not accepted; showing Live"
                                                       : after.statusText,
                          -1.0);
                return;
            }
            if (seen.gamePresent) {
                setStatus(Offline, "Offline: playing what is installed", -1.0);
            } else {
                setStatus(Failed, error, -1.0);
            }
            return;
        }
    }

    // 3. A manifest to work from; setChannel may have dropped it meanwhile.
    if (!haveManifest.load()) {
        setStatus(Failed, "no release to install", -1.0);
        return;
    }

    // 4. Compare the game folder with the release.
    const bool deep = verify || !installedOk || pendingUnreadable;
    if (deep)
        setStatus(Working, verify ? "Verifying files" : "Looking at what is already here", 0.0);
    toInstall.clear();
    std::uint64_t total = 0;
    const std::size_t count = latest.files.size();
    const PathIndex installedPaths(installedOk ? &installed : nullptr);
    const PathIndex placingPaths(placing);
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = latest.files[i];
        if (!fileMatchesRecorded(entry, installedPaths.find(entry.path), deep,
                                 placingPaths.find(entry.path))) {
            toInstall.push_back(&entry);
            total = addSaturated(total, entry.packedSize);
        }
        if (deep) {
            std::lock_guard<std::mutex> lock(mutex);
            state.progress = static_cast<double>(i + 1) / static_cast<double>(count);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.bytesToDownload = total;
    }
    // What cannot be put in place is refused now, before a download or a change: a release
    // placed half-way leaves a game that cannot start, not even off line.
    std::vector<const Manifest*> earlier;
    if (installedOk) earlier.push_back(&installed);
    if (placing) earlier.push_back(placing);
    if (!toInstall.empty() && !canPlaceAll(earlier, error)) {
        logWarn("launcher: refused %s: %s", latest.version.c_str(), error.c_str());
        setStatus(Failed, error, -1.0);
        return;
    }

    // 5. Report, or go on to apply. An install whose files are all present but unrecorded is
    // adopted even by a check: it records ".installed" without downloading.
    if (toInstall.empty()) {
        if (installedOk && !apply) {
            // An interrupted install may have left files the release does not list; only an
            // update run finishes it.
            if (installed.version == latest.version && !unfinished) {
                setStatus(UpToDate, "Up to date", -1.0);
            } else {
                setStatus(UpdateAvailable, "Ready to update", -1.0);
            }
            return;
        }
    } else if (!apply) {
        setStatus(installedOk ? UpdateAvailable : NotInstalled, formatSize(total) + " to download",
                  -1.0);
        return;
    }

    // A run that may not change the folder ends here, before anything is fetched or changed; the
    // game it found stays playable. Only a verify that found every file whole has nothing to
    // change.
    if (!readOnlyCause.empty()) {
        if (toInstall.empty() && installedOk && !unfinished &&
            installed.version == latest.version) {
            setStatus(UpToDate, verify ? "Files verified" : "Up to date", -1.0);
        } else {
            logWarn("launcher: %s", readOnlyCause.c_str());
            setStatus(Failed, readOnlyCause, -1.0);
        }
        return;
    }

    // 6. Download what is not staged yet.
    const fs::path staging = launcherDir / ".staging";
    std::error_code ec;
    fs::create_directories(staging, ec);
    std::uint64_t done = 0;
    const std::size_t toFetch = toInstall.size();
    for (std::size_t i = 0; i < toFetch; ++i) {
        const Entry& entry = *toInstall[i];
        const fs::path staged = staging / entry.hash;
        std::error_code sizeError;
        const std::uintmax_t stagedSize = fs::file_size(staged, sizeError);
        if (!sizeError && stagedSize == entry.size && hashFile(toUtf8(staged)) == entry.hash) {
            done = addSaturated(done, entry.packedSize); // fetched by an earlier, interrupted run
            continue;
        }
        char text[160];
        const int length = std::snprintf(text, sizeof text, "Downloading %zu of %zu: %s", i + 1,
                                         toFetch, entry.path.c_str());
        if (length >= static_cast<int>(sizeof text)) trimToWholeCharacter(text);
        setStatus(Working, text,
                  total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total));

        std::vector<std::uint8_t> bytes;
        if (!fetchObject(entry, bytes, done, total, error)) {
            setStatus(cancel.load() ? UpdateAvailable : Failed, error, -1.0);
            return;
        }
        // Not synced one by one: a staged object is used only after its hash is checked, and
        // the whole install's objects are synced together before they are placed.
        if (!writeFileAtomic(staged, bytes.data(), bytes.size(), ec, Durability::Deferred)) {
            setStatus(Failed, writeError(staging, ec), -1.0);
            return;
        }
        done = addSaturated(done, entry.packedSize);
    }

    // 7. Record what is about to be placed, put everything in place and record it as installed.
    // Nothing of a channel the player has left is placed; the downloads stay staged.
    if (currentGeneration() != startGeneration) {
        checkAgain();
        return;
    }
    setStatus(Working, "Putting files in place", 1.0);
    if (!syncStaged(error)) {
        setStatus(Failed, error, -1.0);
        return;
    }
    if (!beginInstall(placing && pendingText != rawManifest ? placing : nullptr, error)) {
        setStatus(Failed, error, -1.0);
        return;
    }
    // The waits for files other programs hold share one bound in the whole clean-up.
    FsPatience patience;
    std::set<std::string> removed = removeDroppedInTheWay(earlier, patience);
    if (!installStaged(error)) {
        setStatus(Failed, error, -1.0);
        return;
    }
    removeFolderTree(staging, true);
    removeDroppedAfterInstall(earlier, removed, patience);
    // The record names the release only once every file it lists is on the disk under its name.
    const bool synced = stillPlaced(error) && syncGameChanges(error);
    if (!synced || !writeFileAtomic(gameDir() / kInstalledRecord,
                                    reinterpret_cast<const std::uint8_t*>(rawManifest.data()),
                                    rawManifest.size(), ec)) {
        // The files are in place, but without the record the next run cannot tell; the game
        // stays unplayable until a run records it.
        {
            std::lock_guard<std::mutex> lock(mutex);
            state.gamePresent = false;
        }
        if (synced) error = "cannot write to " + toUtf8(gameDir()) + " (" + errorReason(ec) + ")";
        setStatus(Failed, error, -1.0);
        return;
    }
    fsRemove(gameDir() / kInstallingRecord, ec);
    makeExecutable(gameExe);
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.installedVersion = latest.version;
        state.gamePresent = true;
        state.bytesToDownload = 0;
    }
    logInfo("launcher: installed %s (%zu files replaced)", latest.version.c_str(),
            toInstall.size());
    toInstall.clear();
    setStatus(UpToDate, verify ? "Files verified" : "Up to date", -1.0);
}

} // namespace qv::launcher
