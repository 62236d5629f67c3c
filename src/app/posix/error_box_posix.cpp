// The error box on a POSIX desktop. The message always goes to standard error, so a player who
// started the launcher from a terminal, and every log collector, sees it. Where a dialog program
// is installed it is started as well, detached in a session of its own with its output sent
// nowhere and a time limit of its own: the launcher never waits for it, so a machine without a
// desktop (or a test) cannot hang on a box nobody will close.
#include "app/error_box.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace qv::launcher {

namespace {

const char* const kTimeLimitSeconds = "120";

bool spawnDetached(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0;
}

} // namespace

void showErrorBox(const char* title, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", title, message.c_str());
    std::fflush(stderr);
    if (spawnDetached({"zenity", "--error", std::string("--title=") + title, "--no-markup",
                       "--text=" + message, std::string("--timeout=") + kTimeLimitSeconds})) {
        return;
    }
    spawnDetached({"xmessage", "-title", title, "-center", "-buttons", "OK:0", "-default", "OK",
                   "-timeout", kTimeLimitSeconds, message});
}

} // namespace qv::launcher
