// The POSIX side of the platform helpers: native byte names, real processes started through
// startProcess (the child program report_args_child writes back what it received), the own
// path, permissions and the file manager.
#include "base/platform.h"
#include "base/platform_os.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../../support/temp_dir.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace qv::launcher;
using namespace std::chrono_literals;

namespace {

class TempFolder : public qv::launcher::test::TempDir {
  public:
    TempFolder() : TempDir("platform_test-") {}
};

fs::path childProgram() {
    return fs::path(CORVANTHE_BINARY_DIR) / "report_args_child";
}

std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

struct ChildReport {
    std::vector<std::string> argv;
    std::string cwd;
    long pid = 0;
    long pgid = 0;
    std::vector<int> fds;
    std::string self;
    std::string sigpipe;
};

// Waits for the child's report in its working folder; false when none arrives in time.
bool readReport(const fs::path& folder, ChildReport& report,
                std::chrono::milliseconds timeout = 10s) {
    const fs::path file = folder / "report";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!fs::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "arg") report.argv.push_back(unhex(value));
        if (key == "cwd") report.cwd = unhex(value);
        if (key == "pid") report.pid = std::stol(value);
        if (key == "pgid") report.pgid = std::stol(value);
        if (key == "fd") report.fds.push_back(std::stoi(value));
        if (key == "self") report.self = unhex(value);
        if (key == "sigpipe") report.sigpipe = value;
    }
    return true;
}

// The standard descriptors this test process has; a child may hold these and nothing else.
std::vector<int> ownStandardDescriptors() {
    std::vector<int> fds;
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) fds.push_back(fd);
    }
    return fds;
}

} // namespace

TEST(Utf8Paths, NativeNamesThatAreNoUtf8AreRejected) {
    // Native names here are bytes, so a path can hold what no UTF-8 text is.
    for (const std::string text : {"\x80", "ab\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF"}) {
        SCOPED_TRACE(testing::PrintToString(text));
        try {
            toUtf8(fs::path(text));
            ADD_FAILURE() << "accepted";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(std::errc::illegal_byte_sequence));
        }
    }
}

TEST(StartProcess, ChildReceivesExactlyItsArgumentsFolderAndNothingMore) {
    TempFolder temp;
    const fs::path work = temp.path() / "work folder \xC3\xBC";
    fs::create_directories(work);
    const std::vector<std::string> arguments = {
        "two words",
        "tab\there",
        "say \"hi\"",
        "back\\slash\\",
        "trail \\\"\\",
        "",
        "Gr\u00fc\u00dfe \U0001F600", // narrow literals are UTF-8 here
        "line\nbreak",
        "--updated",
    };

    // A descriptor that a careless library might open without close-on-exec.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    std::string error = "untouched";
    const bool started = startProcess(childProgram(), arguments, work, error);
    close(leaked);
    ASSERT_TRUE(started) << error;
    EXPECT_EQ(error, "untouched");

    ChildReport report;
    ASSERT_TRUE(readReport(work, report));
    ASSERT_EQ(report.argv.size(), arguments.size() + 1);
    EXPECT_EQ(report.argv[0], childProgram().string());
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(report.argv[i + 1], arguments[i]) << "argument " << i;
    }
    EXPECT_EQ(report.cwd, fs::canonical(work).string());
    EXPECT_EQ(report.pgid, report.pid) << "not in a process group of its own";
    EXPECT_NE(report.pgid, static_cast<long>(getpgrp()));
    EXPECT_EQ(report.fds, ownStandardDescriptors());

    // Nobody waits for the child, yet it does not linger as a zombie once it has ended.
    const fs::path proc = "/proc/" + std::to_string(report.pid);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (fs::exists(proc) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(fs::exists(proc)) << "child was not collected";
}

TEST(StartProcess, TheChildGetsTheDefaultForABrokenPipeThatTheLauncherIgnores) {
    TempFolder temp;
    struct sigaction before {};
    sigaction(SIGPIPE, nullptr, &before);
    ignoreBrokenPipe();
    std::string error;
    const bool started = startProcess(childProgram(), {}, temp.path(), error);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    sigaction(SIGPIPE, &before, nullptr);
    ASSERT_TRUE(started) << error;
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ChildReport report;
    ASSERT_TRUE(readReport(temp.path(), report));
    EXPECT_EQ(report.sigpipe, "default");
}

TEST(IgnoreBrokenPipe, ALogLineToAGoneReaderDoesNotEndTheProgram) {
    TempFolder temp;
    for (const bool ignore : {false, true}) {
        SCOPED_TRACE(ignore ? "ignored" : "default");
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]); // the reader has gone
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        const std::string program = (fs::path(CORVANTHE_BINARY_DIR) / "log_to_pipe_child").string();
        const std::string folder = temp.path().string();
        const char* mode = ignore ? "ignore" : "default";
        char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(folder.c_str()),
                              const_cast<char*>(mode), nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (ignore) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            std::ifstream log(temp.path() / "latest.log");
            const std::string text((std::istreambuf_iterator<char>(log)), {});
            EXPECT_NE(text.find("the second line"), std::string::npos) << text;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
        }
    }
}

TEST(StartProcess, RelativeProgramIsFoundFromTheLaunchersFolderNotTheWorkingFolder) {
    TempFolder temp;
    const fs::path before = fs::current_path();
    fs::current_path(CORVANTHE_BINARY_DIR);
    std::string error;
    const bool started = startProcess("report_args_child", {}, temp.path(), error);
    fs::current_path(before);
    ASSERT_TRUE(started) << error;

    ChildReport report;
    ASSERT_TRUE(readReport(temp.path(), report));
    EXPECT_EQ(report.argv, std::vector<std::string>{"report_args_child"});
    EXPECT_EQ(report.self, fs::canonical(childProgram()).string());
}

TEST(StartProcess, RefusedStartsNameTheProgramAndTheSystemError) {
    TempFolder temp;
    const fs::path notExecutable = temp.path() / "readme.txt";
    std::ofstream(notExecutable) << "not a program\n";
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path noFormat = temp.path() / "text.exe";
    std::ofstream(noFormat) << "not a program either\n";
    fs::permissions(noFormat, fs::perms::owner_all);
    const fs::path noInterpreter = temp.path() / "script";
    std::ofstream(noInterpreter) << "#!/no/such/interpreter\n";
    fs::permissions(noInterpreter, fs::perms::owner_all);
    const std::string x = "x";
    const std::string tooLong(200000, 'a'); // beyond the kernel's limit for one argument

    // refused: the file itself is no program the system runs, so a later start fails too.
    const struct {
        fs::path program;
        fs::path folder;
        const std::string& argument;
        std::string error;
        bool refused;
    } cases[] = {
        {temp.path() / "game" / "corvanthe.exe", temp.path(), x,
         "could not start corvanthe.exe (error " + std::to_string(ENOENT) + ")", true},
        {childProgram(), temp.path() / "missing folder", x,
         "could not start report_args_child (error " + std::to_string(ENOENT) + ")", true},
        {notExecutable, temp.path(), x,
         "could not start readme.txt (error " + std::to_string(EACCES) + ")", true},
        {noFormat, temp.path(), x,
         "could not start text.exe (error " + std::to_string(ENOEXEC) + ")", true},
        {noInterpreter, temp.path(), x,
         "could not start script (error " + std::to_string(ENOENT) + ")", true},
        {childProgram(), temp.path(), tooLong,
         "could not start report_args_child (error " + std::to_string(E2BIG) + ")", false},
    };
    for (const auto& c : cases) {
        std::string error = "earlier text";
        bool refused = !c.refused;
        EXPECT_FALSE(startProcess(c.program, {c.argument}, c.folder, error, &refused));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(refused, c.refused) << c.error;
    }
}

TEST(StartProcess, ArgumentThatIsNotUtf8ThrowsBeforeAnythingStarts) {
    TempFolder temp;
    std::string error = "untouched";
    EXPECT_THROW(startProcess(childProgram(), {"fine", "bad\xFF"}, temp.path(), error),
                 fs::filesystem_error);
    EXPECT_EQ(error, "untouched");
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(fs::exists(temp.path() / "report"));
}

TEST(SelfPath, ComesBackWholeBeyondTheFirstBufferSize) {
    EXPECT_EQ(selfPath(), fs::canonical("/proc/self/exe"));

    TempFolder temp;
    fs::path deep = temp.path();
    for (int i = 0; deep.native().size() <= 1500; ++i) {
        deep /= std::string(90, static_cast<char>('a' + i % 26)) + "\xC3\xA9";
    }
    fs::create_directories(deep);
    const fs::path program = deep / "launcher";
    fs::copy_file(childProgram(), program);
    ASSERT_GT(program.native().size(), 1024u);

    std::string error;
    ASSERT_TRUE(startProcess(program, {}, deep, error)) << error;
    ChildReport report;
    ASSERT_TRUE(readReport(deep, report));
    EXPECT_EQ(report.self, fs::canonical(program).string());
}

TEST(SelfPath, StaysTheStartNameAfterTheFileIsMovedAside) {
    // Self-update renames the running file to ".old"; the launcher must still restart and
    // hash the file under its own name.
    TempFolder temp;
    const fs::path program = temp.path() / "launcher";
    fs::copy_file(childProgram(), program);
    setenv("CORVANTHE_CHILD_RENAME_SELF", ".old", 1);
    std::string error;
    const bool started = startProcess(program, {}, temp.path(), error);
    unsetenv("CORVANTHE_CHILD_RENAME_SELF");
    ASSERT_TRUE(started) << error;

    ChildReport report;
    ASSERT_TRUE(readReport(temp.path(), report));
    EXPECT_TRUE(fs::exists(temp.path() / "launcher.old"));
    EXPECT_EQ(report.self, fs::canonical(temp.path()).string() + "/launcher");
}

TEST(CommandLineArguments, AreEverythingAfterTheProgramNameAsGiven) {
    char program[] = "corvanthe-launcher";
    char a[] = "--install";
    char b[] = "\xe6\x96\x87 x";
    char c[] = "";
    char* argv[] = {program, a, b, c, nullptr};
    using Args = std::vector<std::string>;
    EXPECT_EQ(commandLineArguments(4, argv), (Args{"--install", "\xe6\x96\x87 x", ""}));
    EXPECT_EQ(commandLineArguments(1, argv), Args{});
    EXPECT_EQ(commandLineArguments(0, argv), Args{});
}

TEST(MakeExecutable, AddsRunPermissionWhereverReadingIsAllowed) {
    TempFolder temp;
    const struct {
        mode_t before;
        mode_t after;
    } cases[] = {{0644, 0755}, {0600, 0700}, {0640, 0750}, {0755, 0755}, {0200, 0200}};
    for (const auto& c : cases) {
        const fs::path file = temp.path() / "file";
        std::ofstream(file) << "x";
        ASSERT_EQ(chmod(file.c_str(), c.before), 0);
        makeExecutable(file);
        struct stat info;
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.after) << std::oct << c.before;
        fs::remove(file);
    }
    makeExecutable(temp.path() / "missing"); // nothing to do, nothing reported
}

TEST(OpenFolder, HandsTheFolderToXdgOpenAndNeverWaits) {
    TempFolder temp;
    const fs::path bin = temp.path() / "bin";
    const fs::path empty = temp.path() / "empty";
    fs::create_directories(bin);
    fs::create_directories(empty);
    // A stand-in file manager that takes its time, as a real one may.
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nPATH=/usr/bin:/bin\nhere=$(dirname \"$0\")\n"
                                       "printf '%s' \"$1\" > \"$here/opened.part\"\n"
                                       "mv \"$here/opened.part\" \"$here/opened\"\nsleep 2\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);

    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const fs::path folder = temp.path() / "game folder";

    setenv("PATH", bin.c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    openFolder(folder);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    setenv("PATH", empty.c_str(), 1);
    start = std::chrono::steady_clock::now();
    openFolder(folder); // no file manager at all: nothing happens
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    setenv("PATH", savedPath.c_str(), 1);

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(bin / "opened") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    std::ifstream in(bin / "opened");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), folder.string());
}

// How a watched process ended: by a signal or by the loader's exit code, each told apart from
// an exit code of the program's own and from one that still runs. A SIGCHLD that a parent left
// ignored would let the system reap the child before any wait could see how it ended.
TEST(StartWatchedProcess, TellsAnEndAtTheStartFromTheProgramsOwnEvenWithChildSignalsIgnored) {
    TempFolder temp;
    // The one still running goes on until the test's folder goes, and holds none of its output.
    const fs::path alive = temp.path() / "alive";
    std::ofstream(alive).put('x');
    struct Case {
        std::string script;
        std::chrono::milliseconds watch;
        std::string ending;
    } cases[] = {
        {"kill -SEGV $$", 120s, "signal 11"},
        {"exit 127", 120s, "exit 127"},
        {"exit 3", 120s, ""},
        {"exec >/dev/null 2>&1; while [ -e '" + alive.string() + "' ]; do sleep 0.05; done", 200ms,
         ""},
    };
    struct sigaction before {};
    sigaction(SIGCHLD, nullptr, &before);
    for (const bool ignored : {false, true}) {
        if (ignored) std::signal(SIGCHLD, SIG_IGN);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.script + (ignored ? " (SIGCHLD ignored)" : ""));
            std::string ending = "earlier text";
            std::string error;
            ASSERT_TRUE(startWatchedProcess("/bin/sh", {"-c", c.script}, temp.path(), c.watch,
                                            ending, error))
                << error;
            EXPECT_EQ(ending, c.ending);
        }
    }
    sigaction(SIGCHLD, &before, nullptr);
}
