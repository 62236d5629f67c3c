// A headless launcher: it sets up an Updater exactly as the front end does (launcher folder =
// the folder of its own executable, the leftover of an earlier self-update removed, restart
// arguments without "--updated", channel and key, self-update on the first check unless
// "--no-self-update" or "--updated"), then runs its steps to their end and prints every change
// of the snapshot. It is the running executable that a self-update replaces and restarts.
//
//   updater_driver --server URL --key HEX [--channel live|testing] [--tester-key KEY]
//                  [--steps check,update,verify] [--no-self-update] [--updated]
//                  [--switch-at TEXT --switch-to live|testing]
//
// With --switch-at, the first time the status text is TEXT the driver picks the other channel
// as the channel menu does: setChannel with the tester key, then a check, which the Updater
// drops while its run goes on.
//
// Exit code 0 when the last step ends up to date (or the driver handed over to its new build),
// 1 when it ends in another phase, 2 for a bad command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "update/hex.h"
#include "update/updater.h"

namespace fs = std::filesystem;
using namespace qv::launcher;

namespace {

const char* keyStateName(std::int32_t keyState) {
    static const char* const names[] = {"NoKey", "KeyUnchecked", "KeyAccepted", "KeyRefused"};
    return keyState >= 0 && keyState < 4 ? names[keyState] : "?";
}

std::string describe(const Updater::Snapshot& s) {
    char progress[32];
    std::snprintf(progress, sizeof progress, "%.3f", s.progress);
    return std::string("snapshot: ") + Updater::phaseName(s.phase) + " | " + s.statusText +
           " | progress " + progress + " | " +
           (s.channel == Updater::Testing ? "Testing" : "Live") + " " + keyStateName(s.keyState) +
           " | installed " + (s.installedVersion.empty() ? "-" : s.installedVersion) +
           " | latest " + (s.latestVersion.empty() ? "-" : s.latestVersion) + " | download " +
           std::to_string(s.bytesToDownload) + " | game " + (s.gamePresent ? "present" : "absent") +
           " | news " + std::to_string(s.news.size()) + " bytes";
}

// A channel switch the player makes once the status shows a text.
struct PlannedSwitch {
    std::string atText; // empty: none
    std::int32_t channel = Updater::Live;
    std::string testerKey;
    bool done = false;
};

// Waits for the run to end, printing each snapshot that differs from the one before.
Updater::Snapshot follow(Updater& updater, std::string& last, PlannedSwitch& planned) {
    for (;;) {
        const bool running =
            updater.busy.load(); // read before the snapshot: a final state is never missed
        const Updater::Snapshot now = updater.snapshot();
        if (!planned.done && !planned.atText.empty() && now.statusText == planned.atText) {
            planned.done = true;
            std::printf("driver: switching the channel\n");
            updater.setChannel(planned.channel, planned.testerKey);
            updater.check(false);
        }
        const std::string line = describe(now);
        if (line != last) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            last = line;
        }
        if (!running) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int usage(const std::string& why) {
    std::fprintf(
        stderr,
        "updater_driver: %s\n"
        "usage: updater_driver --server URL --key HEX [--channel live|testing] [--tester-key KEY]\n"
        "                      [--steps check,update,verify] [--no-self-update] [--updated]\n"
        "                      [--switch-at TEXT --switch-to live|testing] [--restart-watch MS]\n",
        why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    ignoreBrokenPipe(); // as the launcher does
    const fs::path exePath = selfPath();
    std::error_code ec;
    const fs::path launcherDir = exePath.empty() ? fs::current_path(ec) : exePath.parent_path();
    fs::create_directories(launcherDir / "logs", ec);
    openLog(toUtf8(launcherDir / "logs").c_str(), 5);

    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string printed = "driver: arguments";
    for (const std::string& a : arguments)
        printed += " [" + a + "]";
    std::printf("%s\n", printed.c_str());
    std::printf("driver: working folder %s\n", toUtf8(fs::current_path(ec)).c_str());
    std::printf("driver: own hash %s\n", hashFile(toUtf8(exePath)).c_str());
    std::fflush(stdout);

    if (!exePath.empty()) {
        finishLauncherSwap(exePath);
        fs::path old = exePath;
        old += ".old";
        fs::remove(old, ec); // the launcher this one replaced
    }

    std::string server;
    std::string keyHex;
    std::string channelName = "live";
    std::string testerKey;
    std::string steps = "check,update,verify";
    std::string switchTo;
    PlannedSwitch planned;
    bool allowSelfUpdate = true;
    std::chrono::milliseconds restartWatch{-1}; // the updater's own unless given
    // As the front end does: every argument but "--updated", which the restart adds itself.
    std::vector<std::string> restartArgs;
    for (const std::string& arg : arguments) {
        if (arg != "--updated") restartArgs.push_back(arg);
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (arg == "--server" && hasValue) {
            server = arguments[++i];
        } else if (arg == "--key" && hasValue) {
            keyHex = arguments[++i];
        } else if (arg == "--channel" && hasValue) {
            channelName = arguments[++i];
        } else if (arg == "--tester-key" && hasValue) {
            testerKey = arguments[++i];
        } else if (arg == "--steps" && hasValue) {
            steps = arguments[++i];
        } else if (arg == "--switch-at" && hasValue) {
            planned.atText = arguments[++i];
        } else if (arg == "--switch-to" && hasValue) {
            switchTo = arguments[++i];
        } else if (arg == "--restart-watch" && hasValue) {
            restartWatch = std::chrono::milliseconds(std::atol(arguments[++i].c_str()));
        } else if (arg == "--no-self-update" || arg == "--updated") {
            allowSelfUpdate = false;
        }
    }
    std::uint8_t releaseKey[32];
    if (server.empty()) return usage("--server is needed");
    if (!fromHex(keyHex, releaseKey, 32))
        return usage("--key needs the release public key as 64 hex digits");
    if (channelName != "live" && channelName != "testing")
        return usage("--channel is live or testing");
    if (planned.atText.empty() != switchTo.empty() ||
        (!switchTo.empty() && switchTo != "live" && switchTo != "testing"))
        return usage("--switch-at goes with --switch-to live or testing");
    planned.channel = switchTo == "testing" ? Updater::Testing : Updater::Live;
    planned.testerKey = testerKey;

    Updater updater(launcherDir, server, releaseKey);
    updater.restartArgs = std::move(restartArgs);
    if (restartWatch.count() >= 0) updater.restartWatch = restartWatch;
    updater.setChannel(channelName == "testing" ? Updater::Testing : Updater::Live, testerKey);

    std::string last;
    Updater::Snapshot end = follow(updater, last, planned);
    std::stringstream list(steps);
    std::string step;
    bool first = true;
    while (std::getline(list, step, ',')) {
        std::printf("driver: step %s\n", step.c_str());
        std::fflush(stdout);
        if (step == "check") {
            updater.check(allowSelfUpdate && first);
        } else if (step == "update") {
            updater.update(false);
        } else if (step == "verify") {
            updater.update(true);
        } else {
            return usage("unknown step " + step);
        }
        first = false;
        end = follow(updater, last, planned);
        if (end.phase == Updater::Restarting) {
            std::printf("driver: handed over to the new launcher\n");
            std::fflush(stdout);
            closeLog();
            return 0;
        }
    }
    std::printf("driver: done %s | %s\n", Updater::phaseName(end.phase), end.statusText.c_str());
    std::fflush(stdout);
    closeLog();
    return end.phase == Updater::UpToDate ? 0 : 1;
}
