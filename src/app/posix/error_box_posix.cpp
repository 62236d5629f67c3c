// The error box on a POSIX desktop. The message always goes to standard error, so a player who
// started the launcher from a terminal, and every log collector, sees it. Where a display is
// there, a dialog program shows it as well and the launcher waits until the player has closed
// it, as a modal box does: the launcher ends only after the message could be read. Without a
// display nothing is started, so a machine without a desktop never waits on a box nobody sees.
#include "app/error_box.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace qv::launcher {

namespace {

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

// Starts the program with its output sent nowhere and waits for it to end; false when it could
// not be started (not installed, say).
bool runToTheEnd(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

} // namespace

void showErrorBox(const char* title, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", title, message.c_str());
    std::fflush(stderr);
    if (!haveDisplay()) return;
    if (runToTheEnd({"zenity", "--error", std::string("--title=") + title, "--no-markup",
                     "--text=" + message})) {
        return;
    }
    runToTheEnd(
        {"xmessage", "-title", title, "-center", "-buttons", "OK:0", "-default", "OK", message});
}

} // namespace qv::launcher
