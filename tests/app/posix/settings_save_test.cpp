// "launcher.cfg" rewritten while another process reads it and kills the writer at any moment:
// every read, and the file the kill leaves, is the old settings or the new ones, never a short
// or empty file that would lose the playtester key and the server. And what a kill cannot show,
// a power cut after the save: the new bytes reach the disk before they take the name.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../../support/file_bytes.h"
#include "../../support/setup_skip.h"
#include "../../support/temp_dir.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;

// Started with this variable naming a folder, the program is the settings writer that a trace
// follows: it saves once into that folder and ends before any test runs.
const char* const kWriterFolder = "CORVANTHE_SETTINGS_WRITER_FOLDER";
const LauncherSettings kTracedSettings{"http://127.0.0.1:25980/", "PLAY-TEST-42", true};

[[maybe_unused]] const bool kIsTracedWriter = [] {
    const char* folder = std::getenv(kWriterFolder);
    if (folder == nullptr) return false;
    saveSettings(folder, kTracedSettings);
    std::_Exit(0);
}();

TEST(SettingsSave, AKillMidSaveLeavesTheOldOrTheNewSettings) {
    test::TempDir tmp("settings-kill-");
    const fs::path dir = tmp.path() / "launcher";
    const fs::path other = tmp.path() / "other";
    fs::create_directories(dir);
    fs::create_directories(other);
    const LauncherSettings before{"http://127.0.0.1:25980/", "OLD-KEY", false};
    const LauncherSettings after{"", "PLAY-TEST-42-A-LONGER-KEY", true};
    saveSettings(other, after);
    const std::string afterText = test::readText(other / "launcher.cfg");
    saveSettings(other, before);
    const std::string beforeText = test::readText(other / "launcher.cfg");
    saveSettings(dir, before);

    for (int round = 0; round < 20; ++round) {
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (;;) {
                saveSettings(dir, after);
                saveSettings(dir, before);
            }
        }
        // Reads until both versions have been seen (the writer is well under way, and the kill
        // lands at some point of a save); none may be anything else.
        bool sawBefore = false, sawAfter = false;
        std::string torn;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(sawBefore && sawAfter) && torn.empty() && std::chrono::steady_clock::now() < end) {
            const std::string text = test::readText(dir / "launcher.cfg");
            sawBefore = sawBefore || text == beforeText;
            sawAfter = sawAfter || text == afterText;
            if (text != beforeText && text != afterText) torn = text.empty() ? "(empty)" : text;
        }
        kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        ASSERT_EQ(torn, "") << "a reader saw this in round " << round;
        ASSERT_TRUE(sawBefore && sawAfter) << "the writer never got round";
        const std::string left = test::readText(dir / "launcher.cfg");
        ASSERT_TRUE(left == beforeText || left == afterText) << "the kill left: " << left;
    }
    // Whatever the last kill left over beside it does not stand in the way of the next save.
    saveSettings(dir, after);
    EXPECT_EQ(test::readText(dir / "launcher.cfg"), afterText);
}

// The program's file as the shell would find it on the PATH; empty when there is none.
std::string programOnPath(const std::string& name) {
    std::istringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// Runs the program with the variable set, its output to the file; its exit code, or -1.
int runWith(const std::vector<std::string>& argv, const std::string& variable,
            const fs::path& output) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setenv(variable.substr(0, variable.find('=')).c_str(),
               variable.substr(variable.find('=') + 1).c_str(), 1);
        std::FILE* out = std::fopen(output.c_str(), "w");
        if (out != nullptr) {
            dup2(fileno(out), STDOUT_FILENO);
            dup2(fileno(out), STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a trace of the file calls shows for one save: whether the temporary file was synced
// before it was renamed over the settings, and whether the folder was synced after that.
struct SaveOrder {
    bool renamed = false;
    bool partSyncedFirst = false;
    bool folderSyncedAfter = false;
};

// Reads strace's lines ("<pid> call(arguments) = result"): every open that succeeds names the
// descriptor it returns, so a sync says which file it made durable.
SaveOrder readTrace(const fs::path& trace, const fs::path& folder) {
    const fs::path file = folder / "launcher.cfg";
    const std::string part = "\"" + file.string() + ".part\"";
    const std::string target = "\"" + file.string() + "\"";
    const std::string folderName = "\"" + folder.string() + "\"";
    std::map<std::string, std::string> opened; // descriptor -> quoted path
    bool partSynced = false;
    SaveOrder order;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        const std::size_t call = line.find_first_not_of(' ', line.find(' '));
        const std::size_t equals = line.rfind(" = ");
        if (call == std::string::npos || equals == std::string::npos) continue;
        const std::string result = line.substr(equals + 3, line.find(' ', equals + 3) - equals - 3);
        const std::string name = line.substr(call, line.find('(', call) - call);
        if (name == "openat" && result[0] != '-') {
            const std::size_t quote = line.find('"');
            opened[result] = line.substr(quote, line.find('"', quote + 1) - quote + 1);
        } else if (name == "fsync" || name == "fdatasync") {
            const std::size_t open = line.find('(', call) + 1;
            const std::string& path = opened[line.substr(open, line.find(')', open) - open)];
            if (result != "0") continue;
            if (path == part && !order.renamed) partSynced = true;
            if (path == folderName && order.renamed) order.folderSyncedAfter = true;
        } else if (name.rfind("rename", 0) == 0 && result == "0" &&
                   line.find(part + ", ") != std::string::npos &&
                   line.find(target) != std::string::npos) {
            order.renamed = true;
            order.partSyncedFirst = partSynced;
        }
    }
    return order;
}

TEST(SettingsSave, TheNewSettingsAreOnTheDiskBeforeTheyTakeTheName) {
    const std::string strace = programOnPath("strace");
    if (strace.empty()) SKIP_WITHOUT_SETUP("no strace (scripts/setup.sh installs it)");
    test::TempDir tmp("settings-sync-");
    const fs::path dir = tmp.path() / "launcher";
    fs::create_directories(dir);
    saveSettings(dir, LauncherSettings{"", "OLD-KEY", false});
    const fs::path trace = tmp.path() / "trace.txt";
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const int code =
        runWith({strace, "-f", "-qq", "-s", "4096", "-o", trace.string(), "-e",
                 "trace=fsync,fdatasync,rename,renameat,renameat2,openat", self},
                std::string(kWriterFolder) + "=" + dir.string(), tmp.path() / "writer.out");
    ASSERT_EQ(code, 0) << test::readText(tmp.path() / "writer.out");
    ASSERT_EQ(test::readText(dir / "launcher.cfg"),
              "# Corvanthe launcher settings. Written by the launcher.\n"
              "server = http://127.0.0.1:25980/\n"
              "tester_key = PLAY-TEST-42\n"
              "channel = testing\n");
    const SaveOrder order = readTrace(trace, dir);
    const std::string calls = test::readText(trace);
    ASSERT_TRUE(order.renamed) << calls;
    EXPECT_TRUE(order.partSyncedFirst) << calls;
    EXPECT_TRUE(order.folderSyncedAfter) << calls;
}

} // namespace
} // namespace qv::launcher
