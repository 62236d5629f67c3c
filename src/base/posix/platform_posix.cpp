// The POSIX side of the platform helpers: posix_spawn for new processes, /proc/self/exe for
// the launcher's own path, xdg-open for the file manager, and permission bits.
#include "base/platform_os.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qv::launcher {

namespace {

// A child that is never waited for stays a zombie until the launcher ends; a player who
// starts the game several times in one session would pile them up. One small detached thread
// per child collects its exit status, so the caller still neither waits nor tracks anything.
void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the child is collected at the launcher's exit instead.
    }
}

// Starts a detached child in a process group of its own that inherits only descriptors 0 to 2.
// Returns 0 or the error number; glibc reports a failed chdir or exec in the child as the
// call's result.
// With watched given, the child is not reaped here: watched receives its process id.
int spawnDetached(const char* program, bool searchPath, char* const argv[],
                  const char* workingFolder, bool inputFromNull, pid_t* watched = nullptr) {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    int result = posix_spawnattr_init(&attributes);
    if (result != 0) return result;
    result = posix_spawn_file_actions_init(&actions);
    if (result != 0) {
        posix_spawnattr_destroy(&attributes);
        return result;
    }

    // Its own group keeps the terminal's Ctrl-C and job control away from it.
    // The launcher ignores SIGPIPE; the game and a restarted launcher start with the default.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    if (result == 0) result = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (result == 0) result = posix_spawnattr_setpgroup(&attributes, 0);
    if (result == 0 && workingFolder != nullptr) {
        result = posix_spawn_file_actions_addchdir_np(&actions, workingFolder);
    }
    if (result == 0 && inputFromNull) {
        result = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    // Our own descriptors are all close-on-exec; this also covers any that a library opened
    // without it, so the child sees nothing of the launcher beyond the standard three.
    if (result == 0) result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = 0;
    if (result == 0) {
        result = searchPath ? posix_spawnp(&pid, program, &actions, &attributes, argv, environ)
                            : posix_spawn(&pid, program, &actions, &attributes, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result == 0) {
        if (watched != nullptr) {
            *watched = pid;
        } else {
            reapInBackground(pid);
        }
    }
    return result;
}

std::filesystem::path readSelfPath() {
    std::string buffer(1024, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return std::filesystem::path(buffer);
        }
        // A result that fills the buffer may have been cut: try again with twice the room.
        buffer.assign(buffer.size() * 2, '\0');
    }
}

} // namespace

unsigned long osStartProcess(const std::filesystem::path& executable,
                             const std::vector<std::filesystem::path>& arguments,
                             const std::filesystem::path& workingFolder, std::intptr_t* watched) {
    // The child changes folder before it runs the program, so a relative program path would
    // be looked up from the working folder; it is meant from the launcher's current folder.
    std::filesystem::path program = executable;
    if (program.is_relative() && !program.empty()) {
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(program, ignored);
        if (!absolute.empty()) program = absolute;
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::filesystem::path& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    if (watched != nullptr) {
        // Where SIGCHLD is ignored (a disposition a parent can hand down through exec), the
        // system reaps every child itself and no wait ever learns how one ended. The launcher has
        // no use for the ignoring, so it goes back to the default, at which children are kept
        // for their waits; the game's starts reap theirs all the same.
        struct sigaction current {};
        if (sigaction(SIGCHLD, nullptr, &current) == 0 && current.sa_handler == SIG_IGN &&
            (current.sa_flags & SA_SIGINFO) == 0) {
            struct sigaction defaults {};
            defaults.sa_handler = SIG_DFL;
            sigemptyset(&defaults.sa_mask);
            sigaction(SIGCHLD, &defaults, nullptr);
        }
    }
    pid_t pid = 0;
    const int result = spawnDetached(program.c_str(), false, argv.data(), workingFolder.c_str(),
                                     false, watched != nullptr ? &pid : nullptr);
    if (result == 0 && watched != nullptr) *watched = pid;
    return static_cast<unsigned long>(result);
}

std::string osWatchProcess(std::intptr_t process, std::chrono::milliseconds bound) {
    const auto pid = static_cast<pid_t>(process);
    const auto end = std::chrono::steady_clock::now() + bound;
    int status = 0;
    for (;;) {
        const pid_t seen = waitpid(pid, &status, WNOHANG);
        if (seen == pid) break;
        if (seen == -1 && errno != EINTR) return {}; // no longer ours to wait for
        if (seen == 0 && std::chrono::steady_clock::now() >= end) {
            reapInBackground(pid); // it runs on; whenever it ends, it is collected
            return {};
        }
        // A short nap between looks: the wait ends within one of them after the child does.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    // 127 is the dynamic loader's own exit code: a library or symbol the program needs is
    // missing. Every other exit code is the program's own answer.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return "exit 127";
    return {};
}

bool osRefusesProgram(unsigned long code) {
    // The spawn reports the exec's failure as its result. Every answer of exec is about the file
    // (not a format the kernel runs, no permission to run it, a missing or broken interpreter,
    // refused by a security module) except these: resources that ran short, arguments too long
    // for this start, and a file another process still writes for a moment.
    switch (code) {
    case EAGAIN:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case E2BIG:
    case ETXTBSY:
    case EINTR:
        return false;
    default:
        return true;
    }
}

std::filesystem::path osSelfPath() {
    // Read once: the kernel's link follows renames, and self-update moves the running file
    // aside; the launcher's path stays the one it was started under.
    static const std::filesystem::path path = readSelfPath();
    return path;
}

void osOpenFolder(const std::filesystem::path& folder) {
    // xdg-open may itself wait for the file manager; it runs on its own so we never do, and a
    // desktop without it simply gets nothing.
    char program[] = "xdg-open";
    char* const argv[] = {program, const_cast<char*>(folder.c_str()), nullptr};
    spawnDetached(program, true, argv, nullptr, true);
}

void osIgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

void osMakeExecutable(const std::filesystem::path& file) {
    // Whoever may read the file may also run it, as chmod +x does under the usual umask.
    struct stat info;
    if (stat(file.c_str(), &info) != 0) return;
    mode_t mode = info.st_mode & 07777;
    if (mode & S_IRUSR) mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
    chmod(file.c_str(), mode);
}

std::vector<std::string> osCommandLineArguments(int argc, char** argv) {
    // Arguments arrive as the bytes the caller passed, which on this host are the UTF-8 names.
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i] ? argv[i] : "");
    return arguments;
}

} // namespace qv::launcher
