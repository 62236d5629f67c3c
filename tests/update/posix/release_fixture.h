// Shared material of the updater's tests: game folders in a fresh temporary folder written from
// a table of files, releases made by the real publisher, child processes, and waiting for an
// Updater's run to end.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../support/file_bytes.h"
#include "../../support/temp_dir.h"
#include "base/log.h"
#include "update/hex.h"
#include "update/manifest.h"
#include "update/signed_text.h"
#include "update/updater.h"

extern char** environ;

namespace qv::launcher::test {

namespace fs = std::filesystem;

inline std::string randomBytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(random());
    return out;
}

using Files = std::map<std::string, std::string>; // release path -> content

inline void writeFiles(const fs::path& folder, const Files& files) {
    for (const auto& [path, content] : files)
        writeBytes(folder / path, content);
}

// Every regular file below the folder (dot-files of the updater excluded) with its content.
inline Files readFiles(const fs::path& folder) {
    Files out;
    if (!fs::exists(folder)) return out;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (!item.is_regular_file()) continue;
        const std::string relative = item.path().lexically_relative(folder).generic_string();
        if (relative == ".installed") continue;
        out[relative] = readBytes(item.path());
    }
    return out;
}

// Starts a program with its output (both streams) going to the file, appended to what is there
// or in place of it; its process id, or -1 when it could not start.
inline pid_t spawnProgram(const std::vector<std::string>& argv, const fs::path& output,
                          bool append = true) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                     O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

// Runs a program to its end with its output (both streams) appended to the file; its exit code,
// or -1 when it could not run or was killed.
inline int runProgram(const std::vector<std::string>& argv, const fs::path& output) {
    const pid_t pid = spawnProgram(argv, output);
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program's file as the shell would find it on the PATH; the name itself when none is found.
inline std::string onPath(const std::string& name) {
    std::istringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (fs::exists(fs::path(folder) / name)) return (fs::path(folder) / name).string();
    }
    return name;
}

inline std::string buildTool(const char* name) {
    return std::string(CORVANTHE_BINARY_DIR) + "/" + name;
}

// Puts the headless driver in the launcher folder, hard-linked where it can be.
inline void placeDriver(const fs::path& folder) {
    std::error_code ec;
    fs::create_hard_link(buildTool("updater_driver"), folder / "updater_driver", ec);
    if (ec) fs::copy_file(buildTool("updater_driver"), folder / "updater_driver");
}

// The driver's command line in the launcher folder: its steps against the release at the URL,
// without self-update.
inline std::vector<std::string> driverCommand(const fs::path& launcher, const std::string& url,
                                              const std::string& keyHex, const char* steps) {
    return {(launcher / "updater_driver").string(),
            "--server",
            url,
            "--key",
            keyHex,
            "--no-self-update",
            "--steps",
            steps};
}

// A release folder as the publisher writes it, signed with a key made for this test.
class ReleaseSite {
  public:
    explicit ReleaseSite(const fs::path& base)
        : base_(base), site_(base / "site"), key_(base / "release.key") {
        fs::create_directories(site_);
        const int code = runProgram({buildTool("publish_release"), "--new-key", key_.string()},
                                    base_ / "publish.log");
        std::string hex = readBytes(key_.string() + ".pub");
        while (!hex.empty() && hex.back() == '\n')
            hex.pop_back();
        publicHex_ = hex;
        ok_ = code == 0 && fromHex(hex, publicKey_.data(), publicKey_.size());
    }

    bool ok() const { return ok_; }
    const fs::path& site() const { return site_; }
    const std::uint8_t* publicKey() const { return publicKey_.data(); }
    const std::string& publicHex() const { return publicHex_; }

    // Publishes the files as a release of the version; extra arguments go to the publisher as
    // they are ("--testing", "--launcher", FILE, "--platform", NAME, "--news", FILE).
    bool publish(const Files& files, const std::string& version,
                 const std::vector<std::string>& extra = {}) {
        const fs::path source = base_ / ("source-" + std::to_string(++count_));
        fs::remove_all(source);
        fs::create_directories(source);
        writeFiles(source, files);
        std::vector<std::string> argv = {buildTool("publish_release"),
                                         "--key",
                                         key_.string(),
                                         "--out",
                                         site_.string(),
                                         "--game",
                                         source.string(),
                                         "--version",
                                         version};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runProgram(argv, base_ / "publish.log") == 0;
    }

    // Changes the Live manifest and signs it again, for releases no folder can hold.
    bool rewriteManifest(const std::function<void(Manifest&)>& change) {
        std::string body;
        std::string error;
        Manifest manifest;
        if (!verifySigned(manifestText(), publicKey_.data(), body) ||
            !parseManifest(body, manifest, error))
            return false;
        change(manifest);
        const std::string text = sign(writeManifest(manifest));
        if (text.empty()) return false;
        writeBytes(site_ / "manifest-win64.txt", text);
        return true;
    }

    // The body as a text signed with the release key; empty when the key cannot be read.
    std::string sign(const std::string& body) const {
        std::string secretHex = readBytes(key_);
        while (!secretHex.empty() && secretHex.back() == '\n')
            secretHex.pop_back();
        std::uint8_t secret[64];
        if (!fromHex(secretHex, secret, sizeof secret)) return {};
        return signText(body, secret);
    }

    std::string manifestText(bool testing = false) const {
        return readBytes(site_ / (testing ? "testing" : "") / "manifest-win64.txt");
    }

  private:
    fs::path base_;
    fs::path site_;
    fs::path key_;
    std::string publicHex_;
    std::array<std::uint8_t, 32> publicKey_{};
    bool ok_ = false;
    int count_ = 0;
};

// The log's file while it lives: what the update client logged, line by line.
class LogCapture {
  public:
    explicit LogCapture(const fs::path& folder) : folder_(folder) {
        closeLog();
        openLog(folder_.string().c_str(), 0);
    }
    ~LogCapture() { closeLog(); }
    std::string text() const { return readBytes(folder_ / "latest.log"); }
    bool has(const std::string& part) const { return text().find(part) != std::string::npos; }
    std::size_t count(const std::string& part) const {
        const std::string all = text();
        std::size_t n = 0;
        for (std::size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1))
            ++n;
        return n;
    }

  private:
    fs::path folder_;
};

// Waits until no run is going; false after the time limit.
inline bool waitIdle(Updater& updater, double seconds = 60.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (updater.busy.load()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline Updater::Snapshot checkAndWait(Updater& updater) {
    updater.check(false);
    waitIdle(updater);
    return updater.snapshot();
}

inline Updater::Snapshot updateAndWait(Updater& updater, bool verify = false) {
    updater.update(verify);
    waitIdle(updater);
    return updater.snapshot();
}

} // namespace qv::launcher::test
