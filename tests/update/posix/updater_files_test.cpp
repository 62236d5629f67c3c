// The file-level work of an update on a real file system: atomic whole-file writes, the record
// of what is installed, the comparison of a game file with its release entry, and placing the
// staged objects in the game folder.
#include <gtest/gtest.h>

#include "release_fixture.h"
#include "update/manifest.h"
#include "update/signed_text.h"

namespace qv::launcher {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;
namespace fs = std::filesystem;

bool writeText(const fs::path& path, const std::string& text,
               Durability durability = Durability::Durable) {
    std::error_code ec;
    return writeFileAtomic(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                           ec, durability);
}

fs::path withPart(const fs::path& path) {
    fs::path part = path;
    part += ".part";
    return part;
}

TEST(WriteFileAtomic, WritesReplacesAndLeavesNoTemporaryFile) {
    for (const Durability durability : {Durability::Durable, Durability::Deferred}) {
        TempDir tmp;
        const fs::path target = tmp.path() / ".installed";

        ASSERT_TRUE(writeText(target, "", durability));
        EXPECT_TRUE(fs::exists(target));
        EXPECT_EQ(fs::file_size(target), 0u);

        // A stale temporary file of an interrupted write is truncated, not appended to.
        writeBytes(withPart(target), std::string(5000, 'x'));
        ASSERT_TRUE(writeText(target, "new content\n", durability));
        EXPECT_EQ(readBytes(target), "new content\n");
        EXPECT_FALSE(fs::exists(withPart(target))); // ".installed" followed by ".part"
    }
}

TEST(WriteFileAtomic, FailsWithoutFolderAndWhenTargetCannotBeReplaced) {
    TempDir tmp;
    EXPECT_FALSE(writeText(tmp.path() / "missing" / "file", "x"));
    EXPECT_FALSE(fs::exists(tmp.path() / "missing"));

    // A non-empty folder under the name refuses both renames and its removal.
    const fs::path target = tmp.path() / "busy";
    writeBytes(target / "inside", "keep");
    EXPECT_FALSE(writeText(target, "x"));
    EXPECT_FALSE(fs::exists(withPart(target)));
    EXPECT_EQ(readBytes(target / "inside"), "keep");
}

TEST(WriteFileAtomic, ReplacesAnEmptyFolderByRemovingItFirst) {
    TempDir tmp;
    const fs::path target = tmp.path() / "was-a-folder";
    fs::create_directory(target);
    ASSERT_TRUE(writeText(target, "file now"));
    EXPECT_EQ(readBytes(target), "file now");
}

TEST(WriteFileAtomic, NeverWritesThroughALinkAtTheTemporaryName) {
    TempDir tmp;
    const fs::path target = tmp.path() / "news";
    // A link to an existing file outside, and one to a name that does not exist yet: neither
    // the file nor the name may be touched.
    const fs::path outside = tmp.path() / "outside.txt";
    const fs::path absent = tmp.path() / "absent.txt";
    writeBytes(outside, "not the launcher's");
    for (const fs::path& pointee : {outside, absent}) {
        fs::remove(withPart(target));
        fs::create_symlink(pointee, withPart(target));
        ASSERT_TRUE(writeText(target, "signed news"));
        EXPECT_EQ(readBytes(target), "signed news");
        EXPECT_FALSE(fs::is_symlink(target));
        EXPECT_FALSE(fs::exists(withPart(target)));
    }
    EXPECT_EQ(readBytes(outside), "not the launcher's");
    EXPECT_FALSE(fs::exists(absent));
}

TEST(WriteError, NamesAFileInUseAndAFolderThatMayNotBeChanged) {
    const struct {
        std::error_code cause;
        const char* text;
    } cases[] = {
        {std::make_error_code(std::errc::no_space_on_device),
         "cannot write to /l (is the disk full?)"},
        {std::make_error_code(std::errc::io_error), "cannot write to /l (is the disk full?)"},
        {{}, "cannot write to /l (is the disk full?)"},
        {std::make_error_code(std::errc::text_file_busy),
         "cannot write to /l (a file there is in use by another program)"},
        {std::make_error_code(std::errc::permission_denied),
         "cannot write to /l (Permission denied)"},
        {std::make_error_code(std::errc::read_only_file_system),
         "cannot write to /l (Read-only file system)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(writeError("/l", c.cause), c.text) << c.cause.message();
}

// An Updater on a launcher folder, for the file operations that need no server.
class UpdaterFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(generateKeyPair(secret, pub));
        updater = std::make_unique<Updater>(tmp.path() / "launcher", "http://127.0.0.1:9/", pub);
        fs::create_directories(updater->gameDir());
        fs::create_directories(staging());
    }
    fs::path game() const { return updater->gameDir(); }
    fs::path staging() const { return tmp.path() / "launcher" / ".staging"; }

    Entry entryFor(const std::string& path, const std::string& content) {
        Entry e;
        e.hash = hashHex(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
        e.size = content.size();
        e.packedSize = content.size() + 11;
        e.path = path;
        return e;
    }
    void recordInstalled(const Manifest& m) {
        writeBytes(game() / ".installed", signText(writeManifest(m), secret));
    }

    TempDir tmp;
    std::uint8_t secret[64];
    std::uint8_t pub[32];
    std::unique_ptr<Updater> updater;
};

TEST_F(UpdaterFiles, LoadInstalledNeedsAValidSignatureAndManifest) {
    Manifest m;
    EXPECT_FALSE(updater->loadInstalled(m)); // absent

    Manifest release;
    release.platform = "win64";
    release.version = "3.1";
    release.files.push_back(entryFor("a.txt", "a"));
    recordInstalled(release);
    ASSERT_TRUE(updater->loadInstalled(m));
    EXPECT_EQ(m.version, "3.1");
    ASSERT_EQ(m.files.size(), 1u);

    // A link to a valid record is no record this launcher wrote: it is not read.
    fs::rename(game() / ".installed", tmp.path() / "record");
    fs::create_symlink(tmp.path() / "record", game() / ".installed");
    EXPECT_FALSE(updater->loadInstalled(m));
    fs::remove(game() / ".installed");
    fs::rename(tmp.path() / "record", game() / ".installed");

    std::string text = readBytes(game() / ".installed");
    text[text.size() - 5] = text[text.size() - 5] == '0' ? '1' : '0'; // inside the signature line
    writeBytes(game() / ".installed", text);
    EXPECT_FALSE(updater->loadInstalled(m));

    writeBytes(game() / ".installed", signText("not a manifest\n", secret));
    EXPECT_FALSE(updater->loadInstalled(m));
}

TEST_F(UpdaterFiles, FileMatchesShallowTrustsTheRecordDeepReadsTheFile) {
    const Entry entry = entryFor("data/level.pak", "real content");
    writeBytes(game() / "data/level.pak", "fake content"); // same size, other bytes

    Manifest recorded;
    recorded.version = "1";
    recorded.files.push_back(entry);
    Manifest otherHash = recorded;
    otherHash.files[0].hash = entryFor("x", "other").hash;

    EXPECT_TRUE(updater->fileMatches(entry, &recorded, false));
    EXPECT_FALSE(updater->fileMatches(entry, &otherHash, false));
    EXPECT_FALSE(updater->fileMatches(entry, nullptr, false));
    EXPECT_FALSE(updater->fileMatches(entry, &recorded, true));

    writeBytes(game() / "data/level.pak", "real content");
    EXPECT_TRUE(updater->fileMatches(entry, nullptr, true));

    writeBytes(game() / "data/level.pak", "real content!"); // wrong size: never a match
    EXPECT_FALSE(updater->fileMatches(entry, &recorded, false));
    fs::remove(game() / "data/level.pak");
    EXPECT_FALSE(updater->fileMatches(entry, &recorded, false));
    fs::create_directories(game() / "data/level.pak"); // a folder in its place
    EXPECT_FALSE(updater->fileMatches(entry, &recorded, true));
}

TEST_F(UpdaterFiles, FileMatchesRefusesAPathThatIsNotUtf8) {
    Entry entry = entryFor("bad\xff.txt", "x");
    EXPECT_FALSE(updater->fileMatches(entry, nullptr, true));
}

TEST_F(UpdaterFiles, InstallStagedMovesTheFirstAndCopiesSharedContent) {
    Manifest release;
    release.files = {entryFor("a/one.dat", "shared"), entryFor("b/two.dat", "shared"),
                     entryFor("three.dat", "own")};
    writeBytes(staging() / release.files[0].hash, "shared");
    writeBytes(staging() / release.files[2].hash, "own");
    writeBytes(game() / "three.dat", "previous"); // replaced
    for (const Entry& e : release.files)
        updater->toInstall.push_back(&e);

    std::string error;
    ASSERT_TRUE(updater->installStaged(error)) << error;
    EXPECT_EQ(readBytes(game() / "a/one.dat"), "shared");
    EXPECT_EQ(readBytes(game() / "b/two.dat"), "shared");
    EXPECT_EQ(readBytes(game() / "three.dat"), "own");
    EXPECT_TRUE(fs::is_empty(staging()));
}

TEST_F(UpdaterFiles, InstallStagedStopsAtATargetItCannotReplace) {
    Manifest release;
    release.files = {entryFor("first.dat", "1"), entryFor("folder", "2"),
                     entryFor("third.dat", "3")};
    for (const Entry& e : release.files) {
        writeBytes(staging() / e.hash, std::to_string(&e - release.files.data() + 1));
        updater->toInstall.push_back(&e);
    }
    writeBytes(game() / "folder/save.dat", "the player's");

    std::string error;
    EXPECT_FALSE(updater->installStaged(error));
    EXPECT_EQ(error, "cannot replace folder (Directory not empty)");
    EXPECT_EQ(readBytes(game() / "first.dat"), "1"); // entries before it stay in place
    EXPECT_EQ(readBytes(game() / "folder/save.dat"), "the player's");
    EXPECT_FALSE(fs::exists(game() / "third.dat"));
    EXPECT_TRUE(fs::exists(staging() / release.files[2].hash));
}

TEST_F(UpdaterFiles, InstallStagedCopiesAnObjectStagedOnAnotherFileSystem) {
    // The launcher folder's ".staging" on another disk than the game folder: no rename reaches
    // the game folder, so the object is copied beside its target and renamed over it there.
    TempDir elsewhere("corvanthe-test-", "/dev/shm");
    fs::remove(staging());
    fs::create_directory_symlink(elsewhere.path(), staging());
    Manifest release;
    release.files = {entryFor("data/pack.dat", "packed")};
    writeBytes(staging() / release.files[0].hash, "packed");
    writeBytes(game() / "data/pack.dat", "previous");
    updater->toInstall.push_back(&release.files[0]);

    std::string error;
    ASSERT_TRUE(updater->installStaged(error)) << error;
    EXPECT_EQ(readBytes(game() / "data/pack.dat"), "packed");
    EXPECT_FALSE(fs::exists(withPart(game() / "data/pack.dat")));
    // The copy is not durable yet: it waits for the sync after the last file.
    ASSERT_EQ(updater->unsyncedFiles.size(), 1u);
    EXPECT_EQ(updater->unsyncedFiles[0], game() / "data/pack.dat");
}

TEST_F(UpdaterFiles, InstallStagedReportsAMissingObjectAndABadPath) {
    Manifest release;
    release.files = {entryFor("gone.dat", "never staged")};
    updater->toInstall.push_back(&release.files[0]);
    std::string error;
    EXPECT_FALSE(updater->installStaged(error));
    EXPECT_EQ(error, "cannot put gone.dat in place (No such file or directory)");

    // A file of the player's where a folder must go: the system's reason, not "close Corvanthe".
    writeBytes(game() / "saves", "the player's");
    release.files[0].path = "saves/slot1";
    writeBytes(staging() / release.files[0].hash, "never staged");
    EXPECT_FALSE(updater->installStaged(error));
    EXPECT_EQ(error, "cannot put saves/slot1 in place (Not a directory)");
    EXPECT_EQ(readBytes(game() / "saves"), "the player's");

    release.files[0].path = "bad\xff";
    EXPECT_FALSE(updater->installStaged(error));
    EXPECT_EQ(error, "cannot put bad\xff in place");
}

} // namespace
} // namespace qv::launcher
