// Whole update runs against a real nginx on 127.0.0.1 serving releases made by the publisher:
// installing, checking, updating, verifying, adopting, going offline, refusing what is not
// signed or not whole, the playtester channel, and resuming after the server went away.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "../../support/setup_skip.h"
#include "case_swaps.h"
#include "exfat_disk.h"
#include "nginx.h"
#include "release_fixture.h"
#include "update/manifest.h"
#include "update/signed_text.h"

namespace qv::launcher {
namespace {

using test::checkAndWait;
using test::Files;
using test::randomBytes;
using test::readBytes;
using test::readFiles;
using test::updateAndWait;
using test::writeBytes;
using test::writeFiles;
namespace fs = std::filesystem;

std::string hashOf(const std::string& content) {
    return hashHex(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
}

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override {
        site = std::make_unique<test::ReleaseSite>(tmp.path());
        ASSERT_TRUE(site->ok());
        server = std::make_unique<test::Nginx>(site->site(), tmp.path() / "nginx", "sesame");
        ASSERT_TRUE(server->start());
        launcher = tmp.path() / "launcher";
        fs::create_directories(launcher);
        log = std::make_unique<test::LogCapture>(tmp.path() / "logs");
    }
    void TearDown() override {
        updater.reset();
        log.reset();
        server.reset();
    }

    // A new start of the launcher on the same folder.
    Updater& start() {
        updater.reset();
        updater = std::make_unique<Updater>(launcher, server->url(), site->publicKey());
        return *updater;
    }
    fs::path game() const { return launcher / "game"; }

    Manifest published(bool testing = false) const {
        std::string body;
        std::string error;
        Manifest m;
        EXPECT_TRUE(verifySigned(site->manifestText(testing), site->publicKey(), body));
        EXPECT_TRUE(parseManifest(body, m, error)) << error;
        return m;
    }
    std::uint64_t packedOf(const std::string& path) const {
        const Manifest m = published();
        const Entry* e = m.find(path);
        return e ? e->packedSize : 0;
    }
    std::multiset<std::string> objectRequests() const {
        std::multiset<std::string> out;
        for (const auto& r : server->requestsFor("/objects/"))
            out.insert(r.uri.substr(9));
        return out;
    }
    std::vector<std::string> uris() const {
        std::vector<std::string> out;
        for (const auto& r : server->requests())
            out.push_back(r.uri);
        return out;
    }

    // A check and an update of the release on the server both end with the status, without a
    // download; the game folder stays as it is, and the game playable.
    void expectRefusedUnchanged(const std::string& status) {
        const Files before = readFiles(game());
        server->clearLog();
        Updater& u = start();
        Updater::Snapshot s = checkAndWait(u);
        EXPECT_EQ(s.phase, Updater::Failed);
        EXPECT_EQ(s.statusText, status);
        s = updateAndWait(u);
        EXPECT_EQ(s.statusText, status);
        EXPECT_TRUE(s.gamePresent);
        EXPECT_TRUE(objectRequests().empty());
        EXPECT_EQ(readFiles(game()), before);
        EXPECT_FALSE(fs::exists(game() / kInstallingRecord));
    }

    void install(const Files& files, const std::string& version) {
        ASSERT_TRUE(site->publish(files, version));
        Updater& u = start();
        checkAndWait(u);
        const Updater::Snapshot s = updateAndWait(u);
        ASSERT_EQ(s.phase, Updater::UpToDate) << s.statusText;
        ASSERT_EQ(readFiles(game()), files);
    }

    test::TempDir tmp;
    std::unique_ptr<test::ReleaseSite> site;
    std::unique_ptr<test::Nginx> server;
    std::unique_ptr<test::LogCapture> log;
    std::unique_ptr<Updater> updater;
    fs::path launcher;
};

const Files kRelease1 = {
    {"corvanthe.exe", randomBytes(40000, 1)},
    {"data/level1.pak", randomBytes(120000, 2)},
    {"readme.txt", "Welcome to Corvanthe\n"},
};

TEST_F(UpdateRun, InstallsFromNothing) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    Updater& u = start();
    Updater::Snapshot s = checkAndWait(u);
    const std::uint64_t packed =
        packedOf("corvanthe.exe") + packedOf("data/level1.pak") + packedOf("readme.txt");
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_EQ(s.statusText, formatSize(packed) + " to download");
    EXPECT_EQ(s.bytesToDownload, packed);
    EXPECT_EQ(s.latestVersion, "1.0");
    EXPECT_EQ(s.installedVersion, "");
    EXPECT_FALSE(s.gamePresent);
    EXPECT_EQ(s.news, "# Corvanthe 1.0\n");
    EXPECT_EQ(uris(), (std::vector<std::string>{"/news.txt", "/manifest-win64.txt"}));
    EXPECT_EQ(readBytes(launcher / ".news"), readBytes(site->site() / "news.txt"));
    EXPECT_FALSE(fs::exists(game())); // a check applies nothing

    server->clearLog();
    s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_EQ(s.progress, -1.0);
    EXPECT_EQ(s.installedVersion, "1.0");
    EXPECT_TRUE(s.gamePresent);
    EXPECT_EQ(s.bytesToDownload, 0u);
    EXPECT_FALSE(u.busy.load());
    EXPECT_EQ(readFiles(game()), kRelease1);
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
    EXPECT_FALSE(fs::exists(launcher / ".staging"));
    EXPECT_NE(fs::status(game() / "corvanthe.exe").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    // The check held the manifest: the update fetched objects only.
    EXPECT_EQ(uris().size(), 3u);
    EXPECT_EQ(objectRequests().size(), 3u);
    EXPECT_TRUE(log->has("launcher: latest 1.0, installed nothing"));
    EXPECT_TRUE(log->has("launcher: installed 1.0 (3 files replaced)"));
}

TEST_F(UpdateRun, LinksPlantedAtTemporaryNamesAreNeverWrittenThrough) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    const fs::path outside = tmp.path() / "outside.txt";
    writeBytes(outside, "someone else's file");
    std::vector<fs::path> planted = {launcher / ".news.part", game() / ".installed.part",
                                     game() / ".installing.part"};
    for (const Entry& e : published().files)
        planted.push_back(launcher / ".staging" / (e.hash + ".part"));
    for (const fs::path& link : planted) {
        fs::create_directories(link.parent_path());
        fs::create_symlink(outside, link);
    }
    Updater& u = start();
    checkAndWait(u);
    EXPECT_EQ(updateAndWait(u).phase, Updater::UpToDate);
    EXPECT_EQ(readBytes(outside), "someone else's file");
    EXPECT_EQ(readFiles(game()), kRelease1);
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
    EXPECT_FALSE(fs::is_symlink(launcher / ".news"));
    EXPECT_EQ(updateAndWait(u, true).statusText, "Files verified");
}

TEST_F(UpdateRun, CheckHashesNothingAndVerifyRepairsAChangedFile) {
    install(kRelease1, "1.0");
    // Same size, other bytes: only reading the file could notice.
    writeBytes(game() / "data/level1.pak", randomBytes(120000, 99));

    Updater& u = start();
    server->clearLog();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_EQ(s.installedVersion, "1.0");
    EXPECT_TRUE(s.gamePresent);
    EXPECT_TRUE(objectRequests().empty());

    // An update right after the check stays off line and finds nothing either.
    server->clearLog();
    s = updateAndWait(u);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_TRUE(server->requests().empty());

    server->clearLog();
    s = updateAndWait(u, true);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.statusText, "Files verified");
    EXPECT_EQ(readFiles(game()), kRelease1);
    EXPECT_EQ(objectRequests(),
              std::multiset<std::string>{hashOf(kRelease1.at("data/level1.pak"))});
    EXPECT_EQ(server->requestsFor("/manifest-win64.txt").size(), 1u); // verifying goes on line
    EXPECT_TRUE(log->has("launcher: installed 1.0 (1 files replaced)"));

    // After a channel selection the held manifest is gone, so an update asks the server again.
    u.setChannel(Updater::Live, "");
    server->clearLog();
    s = updateAndWait(u);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_EQ(uris(), (std::vector<std::string>{"/news.txt", "/manifest-win64.txt"}));
}

TEST_F(UpdateRun, UpdateChangesAddsAndDropsFiles) {
    const Files v1 = {{"corvanthe.exe", randomBytes(30000, 3)},
                      {"a.txt", "same\n"},
                      {"old/gone.txt", "bye\n"},
                      {"keep.bin", randomBytes(50000, 4)}};
    install(v1, "1.0");
    writeBytes(game() / "saves/player.sav", "the player's own");

    Files v2 = v1;
    v2.erase("old/gone.txt");
    v2["corvanthe.exe"] = randomBytes(30000, 5);
    v2["new/added.txt"] = "hello\n";
    ASSERT_TRUE(site->publish(v2, "2.0"));

    Updater& u = start();
    server->clearLog();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpdateAvailable);
    EXPECT_EQ(s.statusText,
              formatSize(packedOf("corvanthe.exe") + packedOf("new/added.txt")) + " to download");
    EXPECT_EQ(s.installedVersion, "1.0");
    EXPECT_EQ(s.latestVersion, "2.0");

    s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.installedVersion, "2.0");
    Files expected = v2;
    expected["saves/player.sav"] = "the player's own"; // no release listed it, so it stays
    EXPECT_EQ(readFiles(game()), expected);
    EXPECT_EQ(objectRequests(), (std::multiset<std::string>{hashOf(v2["corvanthe.exe"]),
                                                            hashOf(v2["new/added.txt"])}));
    EXPECT_TRUE(log->has("launcher: removed old/gone.txt"));
    EXPECT_TRUE(log->has("launcher: installed 2.0 (2 files replaced)"));

    // Nothing new to fetch, but another version that lists one file less.
    Files v3 = v2;
    v3.erase("new/added.txt");
    ASSERT_TRUE(site->publish(v3, "3.0"));
    server->clearLog();
    s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpdateAvailable);
    EXPECT_EQ(s.statusText, "Ready to update");
    s = updateAndWait(u);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_EQ(s.installedVersion, "3.0");
    EXPECT_TRUE(objectRequests().empty());
    EXPECT_FALSE(fs::exists(game() / "new/added.txt"));
    EXPECT_TRUE(log->has("launcher: removed new/added.txt"));
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
}

TEST_F(UpdateRun, TheCleanUpLogsWhatWentAndWarnsOfWhatStays) {
    install(
        {{"corvanthe.exe", "v1\n"}, {"goes.txt", "a\n"}, {"gone.txt", "b\n"}, {"stays.txt", "c\n"}},
        "1.0");
    fs::remove(game() / "gone.txt"); // the player removed it already
    // Where a dropped file was, the player keeps a folder of their own now.
    fs::remove(game() / "stays.txt");
    writeBytes(game() / "stays.txt" / "mine.txt", "the player's own");
    ASSERT_TRUE(site->publish({{"corvanthe.exe", "v1\n"}}, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    const Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate) << s.statusText;
    EXPECT_EQ(s.installedVersion, "2.0");
    EXPECT_FALSE(fs::exists(game() / "goes.txt"));
    EXPECT_EQ(readBytes(game() / "stays.txt" / "mine.txt"), "the player's own");
    EXPECT_TRUE(log->has("info  launcher: removed goes.txt")) << log->text();
    EXPECT_FALSE(log->has("launcher: removed gone.txt")) << log->text();
    EXPECT_FALSE(log->has("launcher: removed stays.txt")) << log->text();
    EXPECT_TRUE(log->has("warn  launcher: cannot remove stays.txt (Directory not empty)"))
        << log->text();
}

TEST_F(UpdateRun, AFileMayBecomeAFolderAndAFolderAFile) {
    install({{"corvanthe.exe", "v1\n"}, {"data", "a file\n"}, {"maps/deep/one.map", "map\n"}},
            "1.0");
    const Files v2 = {
        {"corvanthe.exe", "v1\n"}, {"data/level.pak", "inside\n"}, {"maps", "now a file\n"}};
    ASSERT_TRUE(site->publish(v2, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    const Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate) << s.statusText;
    EXPECT_EQ(readFiles(game()), v2);
    EXPECT_TRUE(log->has("launcher: removed data"));
    EXPECT_TRUE(log->has("launcher: removed maps/deep/one.map"));

    // A folder that holds the player's own file is not cleared to make room: the release is
    // refused before anything of the installed one changes.
    install({{"corvanthe.exe", "v1\n"}, {"mods/a.mod", "a\n"}}, "3.0");
    writeBytes(game() / "mods/mine.mod", "the player's");
    ASSERT_TRUE(site->publish({{"corvanthe.exe", "v1\n"}, {"mods", "file\n"}}, "4.0"));
    Updater& again = start();
    checkAndWait(again);
    const Updater::Snapshot blocked = updateAndWait(again);
    EXPECT_EQ(blocked.phase, Updater::Failed);
    EXPECT_EQ(blocked.statusText,
              "cannot install mods (a folder with other files in it is in the way)");
    EXPECT_TRUE(blocked.gamePresent);
    EXPECT_EQ(readBytes(game() / "mods/mine.mod"), "the player's");
    EXPECT_EQ(readBytes(game() / "mods/a.mod"), "a\n");
}

TEST_F(UpdateRun, SharedContentIsDownloadedOnceAndCopied) {
    const std::string shared = randomBytes(70000, 6);
    const Files files = {{"corvanthe.exe", randomBytes(20000, 7)},
                         {"a/x.dat", shared},
                         {"b/y.dat", shared},
                         {"c/z.dat", shared}};
    ASSERT_TRUE(site->publish(files, "1.0"));
    Updater& u = start();
    checkAndWait(u);
    server->clearLog();
    const Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(readFiles(game()), files);
    EXPECT_EQ(objectRequests(),
              (std::multiset<std::string>{hashOf(shared), hashOf(files.at("corvanthe.exe"))}));
    EXPECT_TRUE(log->has("launcher: installed 1.0 (4 files replaced)"));
}

TEST_F(UpdateRun, AdoptsAnInstallWithoutRecord) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    writeFiles(game(), kRelease1); // put there by hand, no ".installed"

    Updater& u = start();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.statusText, "Up to date");
    EXPECT_EQ(s.installedVersion, "1.0");
    EXPECT_TRUE(s.gamePresent);
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
    EXPECT_TRUE(objectRequests().empty());
    EXPECT_TRUE(log->has("launcher: installed 1.0 (0 files replaced)"));

    // Without the record and with a file missing, only that file is to be fetched.
    fs::remove(game() / ".installed");
    fs::remove(game() / "readme.txt");
    s = checkAndWait(start());
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_EQ(s.statusText, formatSize(packedOf("readme.txt")) + " to download");
    EXPECT_FALSE(s.gamePresent);
}

TEST_F(UpdateRun, OfflineWithTheGameFailedWithout) {
    install(kRelease1, "1.0");
    server->stop();

    Updater& u = start();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::Offline);
    EXPECT_EQ(s.statusText, "Offline: playing what is installed");
    EXPECT_TRUE(s.gamePresent);
    EXPECT_EQ(s.installedVersion, "1.0");
    s = updateAndWait(u); // holds no manifest, so it tries the server again
    EXPECT_EQ(s.phase, Updater::Offline);
    EXPECT_TRUE(log->has("launcher: news: cannot reach the update server ("));

    Updater bare(tmp.path() / "elsewhere", server->url(), site->publicKey());
    s = checkAndWait(bare);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText.rfind("cannot reach the update server (", 0), 0u) << s.statusText;
    EXPECT_FALSE(bare.busy.load());
}

TEST_F(UpdateRun, RefusesAManifestForAnotherPlatform) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0", {"--platform", "linux64"}));
    fs::rename(site->site() / "manifest-linux64.txt", site->site() / "manifest-win64.txt");
    Updater& u = start();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "the server offered a build for linux64");
    EXPECT_EQ(s.latestVersion, "");
    EXPECT_FALSE(u.haveManifest.load());
    s = updateAndWait(u);
    EXPECT_EQ(s.statusText, "the server offered a build for linux64");
    EXPECT_TRUE(objectRequests().empty());
    EXPECT_FALSE(fs::exists(game()));
}

TEST_F(UpdateRun, RefusesAReleaseThatCannotInstallBeforeChangingAnything) {
    install(kRelease1, "1.0");
    const struct {
        Files files;
        std::string status;
        std::string renamed = {}; // the path "y/b" is given this one after publishing
    } cases[] = {
        {{{"z", "file\n"}, {"y/b", "inside\n"}}, "cannot install z/b (inside the file z)", "z/b"},
        {{{".installed", "mine\n"}},
         "cannot install .installed (a name the launcher keeps for itself)"},
        {{{"Con.txt", "device\n"}}, "cannot install Con.txt (a device name on Windows)"},
        {{{"Readme.txt", "1\n"}, {"readme.TXT", "2\n"}},
         "cannot install readme.TXT (the same file as Readme.txt where letter case is ignored)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        ASSERT_TRUE(site->publish(c.files, "2.0"));
        if (!c.renamed.empty()) {
            ASSERT_TRUE(site->rewriteManifest([&](Manifest& m) {
                for (Entry& e : m.files)
                    if (e.path == "y/b") e.path = c.renamed;
            }));
        }
        expectRefusedUnchanged(c.status);
    }
}

TEST_F(UpdateRun, WhatCannotBePlacedIsRefusedBeforeAnythingChanges) {
    // The release can be installed somewhere, but not into this game folder: found before a
    // download, reported with the path and what is in its way, and the installed game stays
    // whole and playable.
    std::string deep;
    for (int i = 0; i < 2100; ++i)
        deep += "d/";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> plant; // the player's own things in the folder
        Files release;
        std::string error;
        std::string listedToo = {}; // a path no source folder holds, with readme.txt's content
    } cases[] = {
        {"a file of the player's where a folder goes",
         [](const fs::path& g) { writeBytes(g / "mods", "my notes\n"); },
         {{"readme.txt", "v2\n"}, {"mods/x.pak", "x\n"}},
         "cannot install mods/x.pak (the file mods is in the way)"},
        {"a path deeper than the system can make",
         [](const fs::path&) {},
         {{"readme.txt", "v2\n"}},
         "cannot install " + deep + "f (the path is too long)",
         deep + "f"},
        {"a folder at the temporary name of a file placed by copying",
         [](const fs::path& g) { writeBytes(g / "b.bin.part" / "mine", "mine\n"); },
         {{"readme.txt", "v2\n"}, {"a.bin", "same\n"}, {"b.bin", "same\n"}},
         "cannot install b.bin (the folder b.bin.part is in the way)"},
        {"a name whose temporary copy's name is too long",
         [](const fs::path&) {},
         {{"readme.txt", "v2\n"}, {std::string(252, 'n'), "x\n"}},
         "cannot install " + std::string(252, 'n') + " (a name in the path is too long)"},
        {"a folder with the player's files where a file goes",
         [](const fs::path& g) { writeBytes(g / "saves" / "slot1", "mine\n"); },
         {{"readme.txt", "v2\n"}, {"saves", "a file now\n"}},
         "cannot install saves (a folder with other files in it is in the way)"},
        // Here the player's file and the dropped one are two: the dropped one is no reason to
        // take the player's away.
        {"the player's Readme.txt where a folder goes, beside the dropped readme.txt",
         [](const fs::path& g) { writeBytes(g / "Readme.txt", "my notes\n"); },
         {{"Readme.txt/x.pak", "x\n"}},
         "cannot install Readme.txt/x.pak (the file Readme.txt is in the way)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        install(kRelease1, "1.0");
        c.plant(game());
        Files release = c.release;
        release["corvanthe.exe"] = kRelease1.at("corvanthe.exe");
        ASSERT_TRUE(site->publish(release, "2.0"));
        if (!c.listedToo.empty()) {
            ASSERT_TRUE(site->rewriteManifest([&](Manifest& m) {
                Entry e = *m.find("readme.txt");
                e.path = c.listedToo;
                m.files.push_back(e);
            }));
        }
        expectRefusedUnchanged(c.error);
        // A line of the log ends at 4095 bytes.
        EXPECT_TRUE(log->has("launcher: refused 2.0: " + c.error.substr(0, 1000)));
    }
}

TEST_F(UpdateRun, APathOfMoreThanAThousandNewFoldersIsPlacedWholeOrRefusedFirst) {
    // One-letter folders below the game folder: 1,001 of them are more than the library makes
    // in one call but a path the host can hold; 2,100 are more than the host can hold.
    const struct {
        int levels;
        bool fits;
    } cases[] = {{1001, true}, {2100, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.levels);
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        install(kRelease1, "1.0");
        std::string deep;
        for (int i = 0; i < c.levels; ++i)
            deep += "d/";
        deep += "f";
        ASSERT_TRUE(site->publish(kRelease1, "2.0"));
        ASSERT_TRUE(site->rewriteManifest([&](Manifest& m) {
            Entry e = *m.find("readme.txt");
            e.path = deep;
            m.files.push_back(e);
        }));
        if (!c.fits) {
            expectRefusedUnchanged("cannot install " + deep + " (the path is too long)");
            continue;
        }
        Updater& u = start();
        checkAndWait(u);
        const Updater::Snapshot s = updateAndWait(u);
        EXPECT_EQ(s.statusText, "Up to date");
        EXPECT_TRUE(s.gamePresent);
        EXPECT_EQ(readBytes(game() / deep), kRelease1.at("readme.txt"));
        EXPECT_EQ(updateAndWait(u, true).statusText, "Files verified");
    }
}

TEST_F(UpdateRun, AnEmptyFolderAtATemporaryNameIsNoObstacle) {
    install(kRelease1, "1.0");
    fs::create_directories(game() / "b.bin.part");
    Files release = kRelease1;
    release["b.bin"] = "b\n";
    ASSERT_TRUE(site->publish(release, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    EXPECT_EQ(updateAndWait(u).statusText, "Up to date");
    EXPECT_EQ(readFiles(game()), release);
    EXPECT_FALSE(fs::exists(game() / "b.bin.part"));
}

TEST_F(UpdateRun, TheAmountToDownloadStopsAtTheLargestSizeInsteadOfWrapping) {
    ASSERT_TRUE(site->publish({{"a.bin", "a\n"}, {"b.bin", "b\n"}}, "1.0"));
    ASSERT_TRUE(site->rewriteManifest([](Manifest& m) {
        for (Entry& e : m.files)
            e.packedSize = std::uint64_t(1) << 63;
    }));
    const Updater::Snapshot s = checkAndWait(start());
    EXPECT_EQ(s.bytesToDownload, UINT64_MAX);
    EXPECT_EQ(s.statusText, formatSize(UINT64_MAX) + " to download");
}

TEST_F(UpdateRun, AChangeOfLetterCaseKeepsTheFileJustPlaced) {
    install({{"corvanthe.exe", "v1\n"}, {"data/level.pak", "level 1\n"}}, "1.0");
    // On a file system that ignores case, "Data" is the folder "data"; a link shows the same.
    fs::create_directory_symlink("data", game() / "Data");
    ASSERT_TRUE(site->publish({{"corvanthe.exe", "v1\n"}, {"Data/level.pak", "level 2\n"}}, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    EXPECT_EQ(updateAndWait(u).phase, Updater::UpToDate);
    EXPECT_EQ(readBytes(game() / "data/level.pak"), "level 2\n");
    EXPECT_EQ(updateAndWait(u, true).statusText, "Files verified");
    EXPECT_EQ(log->count("(0 files replaced)"), 1u);
}

TEST_F(UpdateRun, APlayersFileThatDiffersFromADroppedOneInCaseOnlyStays) {
    // Here names tell case apart: the player's files are files of their own.
    install({{"corvanthe.exe", "v1\n"}, {"readme.txt", "v1\n"}, {"data/\xCF\x82.txt", "v1\n"}},
            "1.0");
    writeBytes(game() / "README.TXT", "mine\n");
    writeBytes(game() / "data/\xCF\x83.txt", "mine too\n");
    ASSERT_TRUE(site->publish({{"corvanthe.exe", "v1\n"}}, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    EXPECT_EQ(updateAndWait(u).statusText, "Up to date");
    EXPECT_EQ(readFiles(game()), (Files{{"corvanthe.exe", "v1\n"},
                                        {"README.TXT", "mine\n"},
                                        {"data/\xCF\x83.txt", "mine too\n"}}));
}

TEST_F(UpdateRun, AFileAndAFolderSwapInOtherLetterCaseWhereverTheGameFolderIs) {
    // The game folder here, where "a" and "A" are two names, and on an exFAT disk through FUSE
    // as on a player's USB disk, where "a" finds "A" and each spelling has an inode number of
    // its own.
    const auto swapAll = [&](const fs::path& onDisk) {
        for (const test::CaseSwap& swap : test::caseSwaps()) {
            SCOPED_TRACE(swap.name);
            fs::remove_all(launcher);
            fs::create_directories(launcher);
            fs::remove_all(onDisk);
            fs::create_directories(onDisk);
            fs::create_directory_symlink(onDisk, game());
            ASSERT_TRUE(site->publish(swap.before, "1.0"));
            checkAndWait(start());
            ASSERT_EQ(updateAndWait(*updater).statusText, "Up to date");
            ASSERT_EQ(test::foldedNames(readFiles(onDisk)), test::foldedNames(swap.before));
            writeBytes(onDisk / test::kPlayersFile, test::kPlayersContent);
            ASSERT_TRUE(site->publish(swap.after, "2.0"));
            Updater& u = start();
            checkAndWait(u);
            EXPECT_EQ(updateAndWait(u).statusText, "Up to date");
            EXPECT_EQ(test::foldedNames(readFiles(onDisk)), test::foldedAfter(swap));
            // Nothing is left to mend: the next runs find every file in place.
            EXPECT_EQ(updateAndWait(u, true).statusText, "Files verified");
            EXPECT_EQ(test::foldedNames(readFiles(onDisk)), test::foldedAfter(swap));
            EXPECT_EQ(checkAndWait(start()).statusText, "Up to date");
        }
    };
    {
        SCOPED_TRACE("a disk that tells case apart");
        swapAll(tmp.path() / "game-here");
    }
    test::ExfatDisk disk(tmp.path());
    if (!disk.problem().empty()) SKIP_WITHOUT_SETUP(disk.problem());
    SCOPED_TRACE("an exFAT disk");
    swapAll(disk.root() / "game");
}

TEST_F(UpdateRun, AFileThatWentMissingAfterItWasPlacedIsNamedAndNotRecorded) {
    // The player's link where a dropped folder was leads to the new release's folder: removing
    // the dropped file removes the one just placed. The run says so, and records no release
    // with a file missing; the game is no longer claimed playable.
    install({{"corvanthe.exe", "v1\n"}, {"old/x.pak", "level 1\n"}}, "1.0");
    fs::remove_all(game() / "old");
    fs::create_directory_symlink("new", game() / "old");
    ASSERT_TRUE(site->publish({{"corvanthe.exe", "v1\n"}, {"new/x.pak", "level 2\n"}}, "2.0"));
    Updater& u = start();
    checkAndWait(u);
    const Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "the file new/x.pak went missing after it was placed");
    EXPECT_FALSE(s.gamePresent);
    Manifest installed;
    ASSERT_TRUE(u.loadInstalled(installed));
    EXPECT_EQ(installed.version, "1.0");
}

TEST_F(UpdateRun, RefusedPlaytesterKeyShowsLiveAndTheRightKeyTesting) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    const Files testing = {{"corvanthe.exe", randomBytes(25000, 8)}, {"beta.txt", "beta\n"}};
    writeBytes(tmp.path() / "beta-news.txt", "# Playtest\n- new boss\n");
    ASSERT_TRUE(site->publish(testing, "2.0-test",
                              {"--testing", "--news", (tmp.path() / "beta-news.txt").string()}));

    Updater& u = start();
    u.setChannel(Updater::Testing, "wrong");
    EXPECT_EQ(u.snapshot().keyState, Updater::KeyUnchecked);
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_EQ(s.statusText, "Playtester key not accepted; showing Live");
    EXPECT_EQ(s.channel, Updater::Live);
    EXPECT_EQ(s.keyState, Updater::KeyRefused);
    EXPECT_EQ(s.latestVersion, "1.0");
    EXPECT_EQ(s.news, "# Corvanthe 1.0\n");
    EXPECT_TRUE(log->has("launcher: playtester key refused; following Live"));
    const auto asked = server->requests();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0].uri, "/testing/news.txt");
    EXPECT_EQ(asked[0].status, 403);
    EXPECT_EQ(asked[0].key, "wrong");
    EXPECT_EQ(asked[1].uri, "/testing/manifest-win64.txt");
    EXPECT_EQ(asked[1].status, 403);
    EXPECT_EQ(asked[2].uri, "/news.txt");
    EXPECT_EQ(asked[2].key, "-"); // never a key on Live
    EXPECT_EQ(asked[3].uri, "/manifest-win64.txt");

    u.setChannel(Updater::Testing, "sesame");
    EXPECT_EQ(u.snapshot().keyState, Updater::KeyRefused); // until the server answers
    server->clearLog();
    s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_EQ(s.channel, Updater::Testing);
    EXPECT_EQ(s.keyState, Updater::KeyAccepted);
    EXPECT_EQ(s.latestVersion, "2.0-test");
    EXPECT_EQ(s.news, "# Playtest\n- new boss\n");
    EXPECT_EQ(readBytes(launcher / ".news-testing"), readBytes(site->site() / "testing/news.txt"));
    for (const auto& r : server->requests())
        EXPECT_EQ(r.key, "sesame") << r.uri;

    server->clearLog();
    s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(readFiles(game()), testing);
    const auto objects = server->requests();
    EXPECT_EQ(objects.size(), 2u);
    for (const auto& r : objects) {
        EXPECT_EQ(r.uri.rfind("/objects/", 0), 0u); // objects have no channel
        EXPECT_EQ(r.key, "-");
    }
}

TEST_F(UpdateRun, AnEarlierRefusalSendsALaterTestingFailureToLive) {
    install(kRelease1, "1.0");
    Updater& u = start();
    u.setChannel(Updater::Testing, "wrong");
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(s.statusText, "Playtester key not accepted; showing Live");

    // Testing again with another key, and now the server cannot be reached at all: the refusal
    // still stands, so Live is tried, and its own result (not a Live result to show) is kept.
    u.setChannel(Updater::Testing, "another");
    EXPECT_EQ(u.snapshot().keyState, Updater::KeyRefused);
    server->stop();
    s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::Offline);
    EXPECT_EQ(s.statusText, "Offline: playing what is installed");
    EXPECT_EQ(s.channel, Updater::Live);
    EXPECT_EQ(s.keyState, Updater::KeyRefused);
    EXPECT_EQ(u.testerKey, "another");
    EXPECT_EQ(log->count("launcher: playtester key refused; following Live"), 2u);
}

TEST_F(UpdateRun, ARecordThatCouldNotBeWrittenIsWrittenByTheNextRun) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    // A folder with something in it under the record's name: no rename can replace it. The
    // install is then not finished, and the run says so instead of "Up to date".
    writeBytes(game() / ".installed" / "blocker", "x");
    Updater& u = start();
    checkAndWait(u);
    Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "cannot write to " + game().string() + " (Is a directory)");
    EXPECT_FALSE(s.gamePresent);
    EXPECT_TRUE(fs::is_directory(game() / ".installed"));
    EXPECT_FALSE(fs::exists(game() / ".installed.part"));

    fs::remove_all(game() / ".installed");
    server->clearLog();
    s = checkAndWait(start());
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
    EXPECT_TRUE(objectRequests().empty());
    EXPECT_EQ(log->count("launcher: installed 1.0 (0 files replaced)"), 1u);

    // A release without files still gets its record, in a game folder made for it.
    fs::remove_all(game());
    ASSERT_TRUE(site->publish({}, "0.0"));
    s = checkAndWait(start());
    EXPECT_EQ(s.phase, Updater::UpToDate) << s.statusText;
    EXPECT_EQ(readBytes(game() / ".installed"), site->manifestText());
}

TEST_F(UpdateRun, AnUnreadableRecordOfAnInterruptedInstallIsNeverTrustedAway) {
    // v1 is installed; an install of v2 was placing files when it stopped, and two of them
    // (of v1's sizes) already hold v2's bytes. Its record is there, but cannot be read: a
    // check against v1 must hash them instead of trusting their sizes.
    Files v2 = kRelease1;
    v2["corvanthe.exe"] = randomBytes(40000, 11);
    v2["data/level1.pak"] = randomBytes(120000, 12);
    ASSERT_TRUE(site->publish(v2, "2.0"));
    const std::string v2Record = site->manifestText();
    std::string altered = v2Record;
    altered[altered.size() - 3] = altered[altered.size() - 3] == 'a' ? 'b' : 'a';
    const std::function<void(const fs::path&)> records[] = {
        [&](const fs::path& at) { writeBytes(at, v2Record.substr(0, v2Record.size() / 2)); },
        [&](const fs::path& at) { writeBytes(at, altered); },
        [&](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); },
        [&](const fs::path& at) {
            std::ofstream(at).close();
            fs::resize_file(at, std::uint64_t{2} << 30); // sparse
        },
    };
    for (std::size_t i = 0; i < std::size(records); ++i) {
        SCOPED_TRACE(i);
        fs::remove_all(game());
        install(kRelease1, "1.0");
        writeBytes(game() / "corvanthe.exe", v2.at("corvanthe.exe"));
        writeBytes(game() / "data/level1.pak", v2.at("data/level1.pak"));
        records[i](game() / kInstallingRecord);

        Updater& u = start();
        u.check(false);
        if (!test::waitIdle(u, 30)) {
            // A pipe holding the run: let it go so that the test can end.
            close(open((game() / kInstallingRecord).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            ADD_FAILURE() << "the record held the run";
            test::waitIdle(u);
        }
        Updater::Snapshot s = u.snapshot();
        EXPECT_EQ(s.phase, Updater::UpdateAvailable) << s.statusText;
        EXPECT_FALSE(s.gamePresent);
        s = updateAndWait(u);
        EXPECT_EQ(s.phase, Updater::UpToDate) << s.statusText;
        EXPECT_EQ(readFiles(game()), kRelease1);
        EXPECT_FALSE(fs::exists(game() / kInstallingRecord));
        EXPECT_EQ(updateAndWait(u, true).statusText, "Files verified");
        EXPECT_EQ(log->count("launcher: installed 1.0 (0 files replaced)"), i + 1);
    }
}

TEST_F(UpdateRun, ARecordForAnotherPlatformIsNoInstallOfThisFolder) {
    // Validly signed, but for another platform's game folder: what it lists (here the
    // player's save) was never placed here by it, and nothing of it may be removed.
    ASSERT_TRUE(
        site->publish({{"saves/player.sav", "old save\n"}}, "9.9", {"--platform", "linux64"}));
    const std::string other = readBytes(site->site() / "manifest-linux64.txt");
    install(kRelease1, "1.0");
    writeBytes(game() / "saves/player.sav", "the player's save\n");
    writeBytes(game() / kInstallingRecord, other);
    // It is no interrupted install either: the release in place stays current and playable.
    const Updater::Snapshot current = checkAndWait(start());
    EXPECT_EQ(current.statusText, "Up to date");
    EXPECT_TRUE(current.gamePresent);
    Files v2 = kRelease1;
    v2["readme.txt"] = "Welcome back\n";
    ASSERT_TRUE(site->publish(v2, "2.0"));
    Updater& u = start();
    EXPECT_EQ(checkAndWait(u).phase, Updater::UpdateAvailable);
    EXPECT_EQ(updateAndWait(u).phase, Updater::UpToDate);
    EXPECT_EQ(readBytes(game() / "saves/player.sav"), "the player's save\n");

    // Nor is such a record taken for what is installed.
    writeBytes(game() / kInstalledRecord, other);
    const Updater::Snapshot s = checkAndWait(start());
    EXPECT_EQ(s.installedVersion, "2.0") << s.statusText; // adopted again from the files
    EXPECT_EQ(readBytes(game() / "saves/player.sav"), "the player's save\n");
}

TEST_F(UpdateRun, ALongDownloadStatusIsCutBetweenCharacters) {
    std::string folder;
    for (int i = 0; i < 70; ++i)
        folder += "\xc3\xbc"; // two bytes each
    const Files files = {{folder + "/x.bin", randomBytes(150000, 15)}};
    ASSERT_TRUE(site->publish(files, "1.0"));
    server->stop();
    server->setObjectRate("100k"); // long enough a download to be seen
    ASSERT_TRUE(server->start());

    Updater& u = start();
    ASSERT_EQ(checkAndWait(u).phase, Updater::NotInstalled);
    u.update(false);
    std::string seen;
    for (int i = 0; i < 5000 && seen.empty(); ++i) {
        const std::string text = u.snapshot().statusText;
        if (text.rfind("Downloading ", 0) == 0) {
            seen = text;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // 159 bytes would end in the first byte of the 70th character; that half goes as well.
    EXPECT_EQ(seen, "Downloading 1 of 1: " + folder.substr(0, 138));
    ASSERT_TRUE(test::waitIdle(u));
    EXPECT_EQ(u.snapshot().phase, Updater::UpToDate);
    EXPECT_EQ(readFiles(game()), files);
}

TEST_F(UpdateRun, RefusesATamperedManifestAndIgnoresTamperedNews) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    const std::string manifest = site->manifestText();
    std::string tampered = manifest;
    tampered.replace(tampered.find("version 1.0"), 11, "version 1.1");
    writeBytes(site->site() / "manifest-win64.txt", tampered);

    Updater& u = start();
    Updater::Snapshot s = checkAndWait(u);
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText, "manifest-win64.txt is not signed by the Corvanthe release key");
    EXPECT_FALSE(u.haveManifest.load());
    EXPECT_EQ(s.news, "# Corvanthe 1.0\n"); // the news was sound

    writeBytes(site->site() / "manifest-win64.txt", manifest);
    std::string news = readBytes(site->site() / "news.txt");
    news[2] = 'X';
    writeBytes(site->site() / "news.txt", news);
    fs::remove(launcher / ".news");
    s = checkAndWait(start());
    EXPECT_EQ(s.phase, Updater::NotInstalled);
    EXPECT_EQ(s.news, "");
    EXPECT_FALSE(fs::exists(launcher / ".news"));
    EXPECT_TRUE(log->has("launcher: news: news.txt is not signed by the Corvanthe release key"));
}

TEST_F(UpdateRun, ADamagedObjectIsTriedThreeTimesAndNothingIsPlaced) {
    const Files files = {{"corvanthe.exe", randomBytes(20000, 9)},
                         {"a.txt", "first\n"},
                         {"zz/last.bin", randomBytes(60000, 10)}};
    ASSERT_TRUE(site->publish(files, "1.0"));
    const std::string lastHash = hashOf(files.at("zz/last.bin"));
    const fs::path object = site->site() / "objects" / lastHash;
    const std::string original = readBytes(object);

    // A valid zlib stream of the right size but other content.
    const std::string other = randomBytes(60000, 11);
    uLongf length = compressBound(other.size());
    std::string otherPacked(length, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(otherPacked.data()), &length,
                        reinterpret_cast<const Bytef*>(other.data()), other.size(), 9),
              Z_OK);
    otherPacked.resize(length);

    struct Case {
        std::string served;
        const char* error;
        const char* logged;
    };
    const Case cases[] = {
        {std::string(original.size(), 'x'), "a download arrived damaged",
         "did not decompress (attempt 3)"},
        {otherPacked, "a download did not match the release", "hash mismatch (attempt 3)"},
        {original.substr(0, original.size() - 1), "a download arrived damaged",
         "did not decompress (attempt 3)"},
    };
    Updater& u = start();
    checkAndWait(u);
    for (const Case& c : cases) {
        writeBytes(object, c.served);
        server->clearLog();
        const Updater::Snapshot s = updateAndWait(u);
        EXPECT_EQ(s.phase, Updater::Failed);
        EXPECT_EQ(s.statusText, c.error);
        EXPECT_EQ(server->requestsFor("/objects/" + lastHash).size(), 3u);
        EXPECT_TRUE(log->has("launcher: object " + lastHash + " " + c.logged));
        EXPECT_TRUE(readFiles(game()).empty()); // nothing moved into the game folder
        EXPECT_FALSE(fs::exists(game() / ".installed"));
        EXPECT_TRUE(
            fs::exists(launcher / ".staging" / hashOf(files.at("a.txt")))); // kept for the next run
        EXPECT_TRUE(fs::exists(launcher / ".staging" / hashOf(files.at("corvanthe.exe"))));
    }

    // A staged copy of the right size but other content is fetched again; the sound one serves.
    const std::string exeHash = hashOf(files.at("corvanthe.exe"));
    writeBytes(launcher / ".staging" / exeHash, randomBytes(files.at("corvanthe.exe").size(), 12));
    writeBytes(object, original);
    server->clearLog();
    const Updater::Snapshot s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(readFiles(game()), files);
    EXPECT_EQ(objectRequests(), (std::multiset<std::string>{lastHash, exeHash}));
}

TEST_F(UpdateRun, ResumesAfterTheServerStoppedInTheMiddleOfAnObject) {
    const Files files = {{"corvanthe.exe", randomBytes(30000, 12)},
                         {"a.bin", randomBytes(30000, 13)},
                         {"zz/big.bin", randomBytes(3 << 20, 14)}};
    ASSERT_TRUE(site->publish(files, "1.0"));
    server->stop();
    server->setObjectRate("1m");
    ASSERT_TRUE(server->start());

    Updater& u = start();
    ASSERT_EQ(checkAndWait(u).phase, Updater::NotInstalled);
    const double before =
        static_cast<double>(packedOf("corvanthe.exe") + packedOf("a.bin")) /
        static_cast<double>(packedOf("corvanthe.exe") + packedOf("a.bin") + packedOf("zz/big.bin"));
    u.update(false);
    bool midway = false;
    for (int i = 0; i < 3000 && !midway; ++i) {
        const Updater::Snapshot s = u.snapshot();
        midway = s.statusText == "Downloading 3 of 3: zz/big.bin" && s.progress > before + 0.2;
        if (!midway) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(midway);
    server->stop();
    ASSERT_TRUE(test::waitIdle(u));
    Updater::Snapshot s = u.snapshot();
    EXPECT_EQ(s.phase, Updater::Failed);
    EXPECT_EQ(s.statusText.rfind("cannot reach the update server (", 0), 0u) << s.statusText;
    EXPECT_TRUE(log->has("launcher: object " + hashOf(files.at("zz/big.bin")) + ", attempt 1: "));
    EXPECT_FALSE(fs::exists(game() / ".installed"));

    server->setObjectRate("");
    server->clearLog();
    ASSERT_TRUE(server->start());
    s = updateAndWait(u);
    EXPECT_EQ(s.phase, Updater::UpToDate);
    EXPECT_EQ(readFiles(game()), files);
    EXPECT_EQ(uris(), std::vector<std::string>{"/objects/" + hashOf(files.at("zz/big.bin"))});
}

TEST_F(UpdateRun, AnExceptionInARunEndsItFailedAndClearsBusy) {
    ASSERT_TRUE(site->publish(kRelease1, "1.0"));
    // A launcher folder whose name is not UTF-8: the first file hashed by name cannot be named.
    const fs::path odd = tmp.path() / "odd\xff";
    writeFiles(odd / "game", kRelease1);
    Updater u(odd, server->url(), site->publicKey());
    for (int i = 0; i < 2; ++i) {
        const Updater::Snapshot s = checkAndWait(u);
        EXPECT_FALSE(u.busy.load());
        EXPECT_EQ(s.phase, Updater::Failed);
        EXPECT_EQ(s.statusText, "the update stopped on an unexpected error");
        EXPECT_EQ(s.progress, -1.0);
    }
    EXPECT_TRUE(log->has("launcher: the update run stopped: "));
}

} // namespace
} // namespace qv::launcher
