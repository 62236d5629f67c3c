// The update client's one object: it checks the server for a release, downloads, verifies and
// installs it on its own worker thread, replaces the launcher's executable when a release names
// a new one, and hands the screen a snapshot of its state.
//
// Folder layout, in the launcher folder: ".news" and ".news-testing" (the last signed news of
// each channel, as downloaded), ".staging" (downloaded, inflated and verified objects named by
// their hash) and "game". In the game folder: ".installed" (the signed manifest of what is
// installed), the release's files, and the game executable.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "update/manifest.h"

namespace qv::launcher {

struct FsPatience; // update/fs_os.h

// The whole file into out. False only when it cannot be opened for reading.
bool readFile(const std::filesystem::path& path, std::string& out);

// The largest signed text (news or manifest) the server may send, and so the largest record or
// cache of one that the launcher keeps.
inline constexpr std::uint64_t kSignedTextLimit = 4194304;

// A record or cache of a signed text (".installed", ".installing", ".news") into out, read
// only when it is a regular file of at most kSignedTextLimit bytes: anything else at its name
// (a pipe, which would hold the reader for ever, a device, a huge sparse file, a link) is no
// text the launcher wrote and counts as unreadable. False when it is not read.
bool readSignedTextFile(const std::filesystem::path& path, std::string& out);

// How far a written file is safe from a power cut when the write returns.
enum class Durability {
    // Synced before the rename and its folder after it: under its name the file holds its
    // bytes, power cut or not. For what is used by name without being checked again.
    Durable,
    // Handed to the disk without waiting: a power cut may leave it short or torn under its
    // name. For content whose hash is checked before use, or that may be lost (a cache); a
    // caller that needs it durable later syncs it (fsSyncPath) and its folder.
    Deferred,
};

// Replaces the file with exactly these bytes through the name with ".part" appended, so that no
// reader ever sees half a file under the final name. Whatever stands at the ".part" name is
// removed and the file created anew, never through a link. True only when the bytes are under
// the final name; otherwise ec holds the system's reason. The folder must exist.
bool writeFileAtomic(const std::filesystem::path& path, const std::uint8_t* data,
                     std::size_t length, std::error_code& ec,
                     Durability durability = Durability::Durable);
bool writeFileAtomic(const std::filesystem::path& path, const std::uint8_t* data,
                     std::size_t length);

// The system's reason for a failed file operation, as written after a status text in
// parentheses: the system's own words without a final full stop.
std::string errorReason(const std::error_code& ec);

// The status for files that could not be written or made durable in a folder: a file there that
// another program holds, a folder that may not be changed, or else, most likely, a full disk.
std::string writeError(const std::filesystem::path& folder, const std::error_code& ec);

// Copies the file the same way: the target keeps its old content until the copy is complete.
bool copyFileAtomic(const std::filesystem::path& from, const std::filesystem::path& to,
                    std::error_code& ec, Durability durability = Durability::Durable);

// Removes the folder and the folders below it, with the files and links inside when asked
// (and whatever else stands at the name); otherwise a folder that still holds any stays. A link
// is removed itself, never walked into.
void removeFolderTree(const std::filesystem::path& folder, bool withFiles);

// The game folder's records: the signed manifest of the installed release, and that of a
// release whose files are being placed, written before the first file is placed and removed
// once the first record names it. A run that finds the second one knows which files an
// interrupted install may have placed.
inline constexpr char kInstalledRecord[] = ".installed";
inline constexpr char kInstallingRecord[] = ".installing";
// The file in the launcher folder whose lock a run holds.
inline constexpr char kRunLock[] = ".lock";

// The URL of a relative path below the server's base URL: exactly one '/' between them unless
// the base already ends in one; nothing else is changed.
std::string joinUrl(const std::string& base, const std::string& path);

// The file moves of a self-update: a leftover old launcher is removed, the running one moved
// to `old`, the new one from `fresh` to `exe`; a failed move puts the previous files back.
// `rename` is the file system's rename in its error-code form (tests hand in one that fails).
using RenameFunction = std::function<void(const std::filesystem::path&,
                                          const std::filesystem::path&, std::error_code&)>;
bool swapLauncherFiles(const std::filesystem::path& exe, const std::filesystem::path& fresh,
                       const std::filesystem::path& old, std::string& error,
                       const RenameFunction& rename);

// The file moves of a self-update where the running file may be replaced while it runs: the
// running launcher is kept under `old` by a second name (a hard link, where the file system has
// them) and the new one renamed over `exe` in one step, so that `exe` always names a whole
// launcher, whenever the process is stopped.
bool replaceLauncherFile(const std::filesystem::path& exe, const std::filesystem::path& fresh,
                         const std::filesystem::path& old, std::string& error,
                         const RenameFunction& rename);

// Takes back a swap of either kind whose new launcher the system refused to start: the running
// launcher, kept under `old`, is renamed over `exe` in one step, which also removes the refused
// file. False when the rename fails (both files then stay where they are).
bool undoLauncherSwap(const std::filesystem::path& exe, const std::filesystem::path& old,
                      const RenameFunction& rename);

// Finishes a swap of swapLauncherFiles that was stopped between its two moves: when no file
// stands at the launcher's name (self, or self without a trailing ".old" or ".new") and the new
// launcher waits under ".new", it is moved into place. Nothing happens otherwise.
void finishLauncherSwap(const std::filesystem::path& self);

// The short size text shown before " to download": "1023 bytes", "1 KB", "1.0 MB", "1.0 GB".
std::string formatSize(std::uint64_t bytes);

class Updater {
  public:
    enum Phase : std::int32_t {
        Checking = 0,
        UpToDate = 1,
        NotInstalled = 2,
        UpdateAvailable = 3,
        Working = 4,
        Offline = 5,
        Failed = 6,
        Restarting = 7,
    };
    // The phase's name as written above, for logs and reports; "?" for any other value.
    static const char* phaseName(std::int32_t phase);

    enum KeyState : std::int32_t {
        NoKey = 0,
        KeyUnchecked = 1,
        KeyAccepted = 2,
        KeyRefused = 3,
    };

    enum Channel : std::int32_t {
        Live = 0,
        Testing = 1,
    };

    // What the screen shows; one moment's copy comes from snapshot().
    struct Snapshot {
        std::int32_t phase = Checking;
        std::int32_t channel = Live;
        std::int32_t keyState = NoKey;
        std::string statusText;
        double progress = -1.0; // 0 to 1, or -1 when no amount can be shown
        std::uint64_t bytesToDownload = 0;
        std::string installedVersion;
        std::string latestVersion;
        std::string news;
        bool gamePresent = false;
    };

    // Loads the cached Live news when its signature verifies with the release key (32 bytes).
    Updater(std::filesystem::path launcherDir, std::string serverUrl,
            const std::uint8_t* releaseKey);
    // Cancels a download in progress and waits for the worker.
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Selects the channel and the playtester key (an empty key always means Live), forgets the
    // held manifest and shows the cached news of that channel. Callable while a run goes.
    void setChannel(std::int32_t channel, const std::string& testerKey);
    // A run that goes on line and applies nothing. Dropped while a run is in progress.
    void check(bool allowSelfUpdate);
    // A run that downloads and installs; on line first when verifying or holding no manifest.
    // Dropped while a run is in progress.
    void update(bool verify);

    Snapshot snapshot() const;
    void setStatus(std::int32_t phase, const std::string& text, double progress);
    std::filesystem::path gameDir() const;

    // One run on the worker thread.
    void run(bool online, bool apply, bool verify, bool allowSelfUpdate);

    // The channel's signed text: "news.txt" or a manifest name, without the "testing/" prefix.
    bool fetchSigned(const std::string& name, std::string& body, std::string& error);
    // The entry's object, inflated and verified; done and total drive the progress share.
    bool fetchObject(const Entry& entry, std::vector<std::uint8_t>& out, std::uint64_t done,
                     std::uint64_t total, std::string& error);

    // A verified record of the game folder (kInstalledRecord or kInstallingRecord) of this
    // launcher's platform, and its text. A record for another platform is no install of this
    // folder and counts as absent. unreadable, when given, tells whether something stands at
    // the name that is no verified record at all (torn by a power cut, altered, no file).
    bool loadRecord(const char* name, Manifest& record, std::string& text,
                    bool* unreadable = nullptr);
    bool loadInstalled(Manifest& installed);
    // Whether the game file holds the entry's content. unfinished is the release an interrupted
    // install was placing: a file it may have changed is never trusted by its size alone.
    bool fileMatches(const Entry& entry, const Manifest* installed, bool deep,
                     const Manifest* unfinished = nullptr);
    // The same with the path's entries already looked up: recorded in ".installed" and placing
    // in the record of the interrupted install, each null where none lists the path.
    bool fileMatchesRecorded(const Entry& entry, const Entry* recorded, bool deep,
                             const Entry* placing);
    bool installStaged(std::string& error);

    // Replaces the running executable with the launcher entry's and starts it. A new launcher
    // the system refuses to start is taken out again, and the running one put back.
    bool selfUpdate(const Entry& launcher, std::string& error);
    // Takes the launcher folder's lock again after the restart let it go and the new launcher
    // did not start; false, logged and with the status text, when it cannot be had.
    bool takeFolderLockBack(std::string& status);

    const std::filesystem::path launcherDir;
    const std::string serverUrl;
    // The whole time a signed text (at most 4 MiB) may take to arrive: the fixed part, plus what
    // has arrived at the rate below. A server that trickles a byte now and then must not hold a
    // check, and the button, for minutes, whatever length it announced, yet an honest large
    // manifest on a line as fast as the rate always arrives. Objects keep only the silence
    // limit: a large one on a slow line may rightly take long.
    std::chrono::milliseconds signedTextDeadline{60000}; // assigned before the first run
    std::uint64_t signedTextRate = 16384;                // bytes per second
    std::vector<std::string> restartArgs;                // assigned once, before the first check
    // How long a restarted launcher is watched before this one hands over to it. A new launcher
    // that the loader cannot load, or that crashes at its start, ends within a second on a slow
    // machine; one still running after this is kept. Assigned before the first run.
    std::chrono::milliseconds restartWatch{4000};
    std::int32_t channel = Live; // written under mutex
    std::string testerKey;       // written under mutex
    // Bumped by every setChannel, under mutex: a run keeps what it learnt (the news, the held
    // manifest, the switch to Live after a refused key) only while it is unchanged since the
    // run began, so a result for one channel never lands after the player chose another.
    std::uint64_t generation = 0;
    // The generation the latest run began with. Worker only: a run that ends on an older one
    // has answered for a channel the player has left.
    std::uint64_t runGeneration = 0;
    std::array<std::uint8_t, 32> releaseKey{};
    mutable std::mutex mutex;
    Snapshot state;
    std::thread worker;
    std::atomic<bool> busy{false};
    std::atomic<bool> cancel{false};
    std::atomic<bool> haveManifest{false};
    Manifest latest;                     // worker only
    std::string rawManifest;             // worker only
    std::vector<const Entry*> toInstall; // worker only, pointers into latest.files
    // The lock on the launcher folder's kRunLock, held by the worker for the length of a run so
    // that two launchers on one folder never interleave; -1 while not held. Worker only.
    std::intptr_t folderLock = -1;
    // Empty while the run may change the launcher folder; otherwise the status, naming the folder
    // and the system's reason, with which whatever would change a file ends. Worker only.
    std::string readOnlyCause;
    // Changes of the game folder that syncGameChanges has still to make durable. Worker only.
    std::vector<std::filesystem::path> unsyncedFiles;
    std::set<std::filesystem::path::string_type> unsyncedFolders;

  private:
    // The game folder's file for a release path; false when the path is not valid UTF-8.
    bool gameFile(const std::string& relative, std::filesystem::path& out) const;
    // Removes a release file from the game folder; false with a status text when it stays.
    bool removeGameFile(const std::string& relative, std::string& error);
    // Removes a file of an earlier release that the new one does not list, and logs what became
    // of it: removed, or still there and why; a name that holds nothing (already gone, below a
    // file, or never reachable) is not mentioned. A file another program holds is waited for
    // only as long as patience, shared by all these removals of a run, has left. onDisk, when
    // given, is the spelling to remove it under where names ignore case. True when it went.
    bool removeDroppedFile(const std::string& relative, FsPatience& patience,
                           const std::string& onDisk = {});
    // Records the release about to be placed. Files an earlier interrupted install may have
    // changed and that do not already hold this release's content go first, so that no record
    // is dropped while its files might still be in the folder.
    bool beginInstall(const Manifest* unfinished, std::string& error);
    // Whether every file of toInstall can be put at its path, judged before anything is fetched
    // or changed: its folders can be made (whatever stands in the way is a file of an earlier
    // release that this install removes), no folder with other files stands at its name or at
    // the name of its temporary copy, and the host can hold the path. False with a status text
    // naming the path and what is in the way.
    bool canPlaceAll(const std::vector<const Manifest*>& earlier, std::string& error) const;
    // Dropped files of the earlier releases that stand where the new one puts a file or folder
    // go; files the new one only respells in letter case take the new spelling. Returns the
    // paths of the dropped files it dealt with, each removal logged, which the clean-up after
    // the install leaves alone: what stands at such a name then is the new release's, and a
    // FUSE mount may still show the old spelling for a moment.
    std::set<std::string> removeDroppedInTheWay(const std::vector<const Manifest*>& earlier,
                                                FsPatience& patience);
    // After the install, the other dropped files of the earlier releases go (those in handled
    // were dealt with), each only where its folders list it under exactly its own spelling and
    // no path of the release is that entry: on a disk that folds names its own way, a dropped
    // spelling may be the file just placed.
    void removeDroppedAfterInstall(const std::vector<const Manifest*>& earlier,
                                   std::set<std::string>& handled, FsPatience& patience);
    // Whether every file the install placed is still there; false with a status text naming
    // the first that went missing since.
    bool stillPlaced(std::string& error);
    // Staged objects are written without waiting for the disk; before the first of them is
    // placed, every one this install places is made durable, so that no record can name a file
    // whose content a power cut may still take. False with a status text when one cannot be.
    bool syncStaged(std::string& error);
    // An entry of the game folder was placed, copied or removed: its folder, and the folders
    // above it up to the game folder (any of them may be new), hold a change not yet durable.
    void noteGameChange(const std::filesystem::path& target);
    // Makes the noted changes durable: copied content first, then the folders' entries. False
    // with a status text when copied content cannot be.
    bool syncGameChanges(std::string& error);
    std::uint64_t currentGeneration() const;
    void startWorker(bool isCheck, bool flag);
    void workerBody(bool isCheck, bool flag) noexcept;
};

} // namespace qv::launcher
