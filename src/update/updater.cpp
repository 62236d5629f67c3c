// The Updater object: its state, the channel and key, the snapshot the screen reads, and the
// one worker thread at a time on which every run executes.
#include "update/updater.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "base/log.h"
#include "base/platform.h"
#include "update/fs_os.h"
#include "update/signed_text.h"

namespace qv::launcher {

namespace {

// The body of the cached news file when its signature verifies under the key; empty otherwise.
std::string cachedNews(const std::filesystem::path& file, const std::uint8_t* key) {
    std::string text;
    std::string body;
    if (readSignedTextFile(file, text) && verifySigned(text, key, body)) return body;
    return {};
}

// A regular file stands at the name itself: no link, folder, pipe or device.
bool isRegularFileItself(const std::filesystem::path& path) {
    std::error_code ec;
    return fsEntryAt(path) == FsEntry::File &&
           std::filesystem::is_regular_file(std::filesystem::status(path, ec));
}

// A lock file this process may not open (left by another user's run, or made unreadable) in a
// folder it may write would keep every run of this player read-only for good, so a new one takes
// its name. True when the protocol should start again; false leaves refused as the reason the
// lock was not taken.
bool replaceClosedLockFile(const std::filesystem::path& lockPath, std::error_code& refused) {
    std::error_code why;
    if (!fsMayAddFiles(lockPath.parent_path(), why)) return false;
    std::error_code failed;
    if (fsReplaceLockFile(lockPath, failed)) {
        logWarn("launcher: replaced %s, which this launcher may not open (%s)",
                toUtf8(lockPath).c_str(), errorReason(refused).c_str());
    } else if (failed) {
        logWarn("launcher: cannot replace %s (%s)", toUtf8(lockPath).c_str(),
                errorReason(failed).c_str());
        return false;
    }
    refused.clear();
    return true;
}

// The lock of a run on the launcher folder, by the classic lock-file protocol. A regular file at
// its name is never removed: another launcher may hold it. Whatever else stands there (a link,
// to nothing or to someone's file, a folder, a pipe) would leave every launcher without a lock,
// or lock a file elsewhere, so it goes and the file is made. A lock taken on a file that is no
// longer the one at the name (another launcher cleared the name between this one's open and
// its lock) excludes nobody, so it is let go and the protocol starts again, a few rounds at most.
// refused holds the system's reason when the file may not be opened or made by this process
// (and, where it was, replaced once).
std::intptr_t takeFolderLock(const std::filesystem::path& lockPath, bool& heldElsewhere,
                             std::error_code& refused) {
    constexpr int kRounds = 8;
    bool replaced = false;
    for (int round = 0; round < kRounds; ++round) {
        const FsEntry entry = fsEntryAt(lockPath);
        if (entry != FsEntry::Absent && !isRegularFileItself(lockPath))
            removeFolderTree(lockPath, true);
        const std::intptr_t lock = fsTryLockFile(lockPath, heldElsewhere, &refused);
        if (lock == -1 && refused && !replaced && replaceClosedLockFile(lockPath, refused)) {
            replaced = true;
            continue;
        }
        if (lock == -1 && (heldElsewhere || refused)) return -1;
        if (lock != -1) {
            if (fsLockedFileIsAtName(lock, lockPath)) return lock;
            fsUnlockFile(lock);
        }
    }
    return -1;
}

// Logs why the folder lock was not taken and gives the run's status for it.
std::string lockNotTaken(const std::filesystem::path& lockPath, bool heldElsewhere) {
    if (heldElsewhere) {
        logWarn("launcher: another launcher holds %s", toUtf8(lockPath).c_str());
        return "another Corvanthe launcher is updating this folder";
    }
    logWarn("launcher: cannot lock %s", toUtf8(lockPath).c_str());
    return "cannot lock " + toUtf8(lockPath);
}

} // namespace

bool readFile(const std::filesystem::path& path, std::string& out) {
    std::FILE* file = fsOpenRead(path);
    if (!file) return false;
    out.clear();
    char buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0) break;
        out.append(buffer, got);
    }
    std::fclose(file);
    return true;
}

bool readSignedTextFile(const std::filesystem::path& path, std::string& out) {
    if (!isRegularFileItself(path)) return false;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kSignedTextLimit) return false;
    std::FILE* file = fsOpenRead(path);
    if (!file) return false;
    // It may grow between the size query and the read: no more than the limit is taken.
    out.assign(static_cast<std::size_t>(size), '\0');
    const std::size_t got = std::fread(out.data(), 1, out.size(), file);
    const bool more = std::fgetc(file) != EOF;
    std::fclose(file);
    return !more && got == out.size();
}

Updater::Updater(std::filesystem::path launcherFolder, std::string server, const std::uint8_t* key)
    : launcherDir(std::move(launcherFolder)), serverUrl(std::move(server)) {
    std::memcpy(releaseKey.data(), key, releaseKey.size());
    // No other thread exists yet, so no lock; the front end picks its channel right after.
    state.news = cachedNews(launcherDir / ".news", releaseKey.data());
}

Updater::~Updater() {
    cancel.exchange(true);
    if (worker.joinable()) worker.join();
}

void Updater::setChannel(std::int32_t wanted, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    if (key.empty()) {
        channel = Live;
        testerKey.clear();
        state.keyState = NoKey;
    } else {
        channel = wanted == Testing ? Testing : Live;
        testerKey = key;
        if (state.keyState == NoKey) state.keyState = KeyUnchecked;
    }
    state.channel = channel;
    ++generation;
    haveManifest.store(false);
    const char* cache = channel == Testing ? ".news-testing" : ".news";
    state.news = cachedNews(launcherDir / cache, releaseKey.data());
}

void Updater::check(bool allowSelfUpdate) {
    startWorker(true, allowSelfUpdate);
}

void Updater::update(bool verify) {
    startWorker(false, verify);
}

void Updater::startWorker(bool isCheck, bool flag) {
    if (busy.exchange(true)) return; // a run is going: the request is dropped, not queued
    try {
        if (worker.joinable()) worker.join();
        worker = std::thread(&Updater::workerBody, this, isCheck, flag);
    } catch (const std::exception& e) {
        // Without a thread there is no run (the system refused one, or its start-up state could
        // not be allocated); leave the Updater ready for the next request instead of busy for
        // ever.
        setStatus(Failed, "cannot start the update", -1.0);
        busy.store(false);
        logError("launcher: cannot start the update worker: %s", e.what());
    }
}

void Updater::workerBody(bool isCheck, bool flag) noexcept {
    // An exception leaving a std::thread ends the whole process, so every one stops here and
    // the run is reported like any other failure.
    bool failed = false;
    std::string cause = "unknown error";
    try {
        std::error_code ec;
        std::filesystem::create_directories(launcherDir, ec);
        const std::filesystem::path lockPath = launcherDir / kRunLock;
        bool heldElsewhere = false;
        std::error_code refused;
        folderLock = takeFolderLock(lockPath, heldElsewhere, refused);
        // A folder the player may not change (installed for all users, a read-only share) is
        // still read: the run shows what is installed and offers it, and changes nothing.
        readOnlyCause.clear();
        std::error_code why;
        if (!heldElsewhere && !fsMayAddFiles(launcherDir, why)) {
            readOnlyCause =
                "cannot write to " + toUtf8(launcherDir) + " (" + errorReason(why) + ")";
        } else if (!heldElsewhere && folderLock == -1 && refused) {
            readOnlyCause =
                "cannot write to " + toUtf8(lockPath) + " (" + errorReason(refused) + ")";
        }
        if (!readOnlyCause.empty())
            logWarn("launcher: %s; this run only reads", readOnlyCause.c_str());
        if (folderLock == -1 && (heldElsewhere || readOnlyCause.empty())) {
            // Without the lock a second launcher could change the folder at the same time, so
            // the run changes nothing.
            setStatus(Failed, lockNotTaken(lockPath, heldElsewhere), -1.0);
        } else {
            if (isCheck) {
                run(true, false, false, flag);
            } else {
                run(flag || !haveManifest.load(), true, flag, false);
            }
            // The player chose a channel while the run went on, and the front end's check of it
            // was dropped as the worker was busy: the worker makes it now, so the screen never
            // shows one channel's name over what was found for another.
            while (currentGeneration() != runGeneration) {
                logInfo("launcher: channel changed during the run; checking again");
                run(true, false, false, false);
            }
        }
    } catch (const std::exception& e) {
        failed = true;
        try {
            cause = e.what();
        } catch (...) {
        }
    } catch (...) {
        failed = true;
    }
    fsUnlockFile(folderLock);
    folderLock = -1;
    if (failed) {
        try {
            logError("launcher: the update run stopped: %s", cause.c_str());
            setStatus(Failed, "the update stopped on an unexpected error", -1.0);
        } catch (...) {
        }
    }
    busy.store(false);
}

bool Updater::takeFolderLockBack(std::string& status) {
    const std::filesystem::path lockPath = launcherDir / kRunLock;
    bool heldElsewhere = false;
    std::error_code refused; // the folder was written a moment ago: a refusal is no read-only run
    folderLock = takeFolderLock(lockPath, heldElsewhere, refused);
    if (folderLock != -1) return true;
    status = lockNotTaken(lockPath, heldElsewhere);
    return false;
}

std::uint64_t Updater::currentGeneration() const {
    std::lock_guard<std::mutex> lock(mutex);
    return generation;
}

const char* Updater::phaseName(std::int32_t phase) {
    static const char* const names[] = {"Checking", "UpToDate", "NotInstalled", "UpdateAvailable",
                                        "Working",  "Offline",  "Failed",       "Restarting"};
    return phase >= 0 && phase < 8 ? names[phase] : "?";
}

Updater::Snapshot Updater::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

void Updater::setStatus(std::int32_t phase, const std::string& text, double progress) {
    std::lock_guard<std::mutex> lock(mutex);
    state.phase = phase;
    state.statusText = text;
    state.progress = progress;
}

std::filesystem::path Updater::gameDir() const {
    return launcherDir / "game";
}

} // namespace qv::launcher
