// Material of the launcher's GUI tests: a private Xvfb display per test (so tests that run side
// by side never click into each other's windows), the real launcher executable copied into a
// fresh launcher folder, releases signed with the build's development key and served by nginx
// on 127.0.0.1, xdotool for the mouse and keyboard, and x_helper for what xdotool cannot do.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../../support/rgb_image.h"
#include "../../update/posix/nginx.h"
#include "app/palette.h"
#include "../../update/posix/release_fixture.h"

extern char** environ;

namespace qv::launcher::test {

namespace fs = std::filesystem;

inline void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Polls the condition every 20 ms; false when it is still false after the time limit.
inline bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        sleepSeconds(0.02);
    }
    return true;
}

inline std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The environment of a child: ours without any display or Mesa override, then the given values.
using Environment = std::map<std::string, std::string>;

inline std::vector<std::string> environmentFor(const Environment& values) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name.rfind("MESA_", 0) == 0 ||
            values.count(name)) {
            continue;
        }
        out.push_back(entry);
    }
    for (const auto& [name, value] : values) out.push_back(name + "=" + value);
    return out;
}

// A child process with its output in a file; killed on destruction when it still runs.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string>& argv, const Environment& env, const fs::path& folder,
          const fs::path& output) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const std::vector<std::string> envText = environmentFor(env);
        std::vector<char*> envp;
        for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { kill(); }
    Child(Child&& other) noexcept : pid_(other.pid_), code_(other.code_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept {
        kill();
        pid_ = other.pid_;
        code_ = other.code_;
        other.pid_ = -1;
        return *this;
    }

    pid_t pid() const { return pid_; }

    // True once it has ended (its exit code is then in code()).
    bool ended() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return true;
    }
    // Its exit code, or -1 when it did not end within the time limit (it is killed then).
    int wait(double seconds) {
        if (!waitUntil([this] { return ended(); }, seconds)) {
            kill();
            return -1;
        }
        return code_;
    }
    int code() const { return code_; }
    // Asks it to end (SIGTERM), so a server removes its lock and socket; killed after the limit.
    void stop(double seconds) {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        wait(seconds);
    }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    static constexpr int kRunning = -1000;
    pid_t pid_ = -1;
    int code_ = kRunning;
};

// Runs a program to its end; its standard output, and its exit code in code.
inline std::string runCaptured(const std::vector<std::string>& argv, const Environment& env,
                               const fs::path& scratch, int* code = nullptr, double seconds = 30.0) {
    const fs::path output = scratch / "captured.txt";
    std::error_code ec;
    fs::remove(output, ec);
    Child child(argv, env, scratch, output);
    const int result = child.wait(seconds);
    if (code) *code = result;
    return readBytes(output);
}

// An Xvfb of its own; it picks a free display number itself. A dpi other than 0 is loaded as
// the desktop's "Xft.dpi", the display scale that GLFW reports (192 is 200%).
class PrivateDisplay {
public:
    PrivateDisplay(const fs::path& scratch, const std::string& screen = "1280x800x24",
                   int dpi = 0) {
        int fds[2];
        if (pipe(fds) != 0) return;
        fcntl(fds[0], F_SETFD, FD_CLOEXEC); // only the writing end goes to Xvfb
        // -noreset: by default the server resets when its last client leaves, and a client that
        // connects during the reset is turned away.
        xvfb_ = Child({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                       "-nolisten", "tcp", "-noreset"},
                      {}, scratch, scratch / "xvfb.log");
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (poll(&p, 1, 100) <= 0) continue;
            char c = 0;
            if (read(fds[0], &c, 1) != 1) break;
            if (c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) return;
        // The number comes as soon as the server has its sockets; wait until it answers a client.
        const std::string name = ":" + number;
        const bool answers = waitUntil([&] {
            int code = -1;
            runCaptured({"/usr/bin/xdpyinfo"}, {{"DISPLAY", name}}, scratch, &code, 5.0);
            return code == 0;
        }, 10.0);
        if (!answers) return;
        if (dpi != 0 && !setDpi(scratch, name, dpi)) return;
        name_ = name;
    }

    // Loads "Xft.dpi" into the server's resource database; programs started afterwards see it.
    // The server keeps it after xrdb leaves only because it never resets (-noreset).
    static bool setDpi(const fs::path& scratch, const std::string& name, int dpi) {
        writeBytes(scratch / "xrdb.txt", "Xft.dpi: " + std::to_string(dpi) + "\n");
        int code = -1;
        runCaptured({"/usr/bin/xrdb", "-merge", "-nocpp", (scratch / "xrdb.txt").string()},
                    {{"DISPLAY", name}}, scratch, &code, 10.0);
        return code == 0;
    }
    ~PrivateDisplay() { xvfb_.stop(5.0); }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    bool ok() const { return !name_.empty(); }
    const std::string& name() const { return name_; }

private:
    Child xvfb_;
    std::string name_;
};

inline std::string binary(const char* name) { return std::string(CORVANTHE_BINARY_DIR) + "/" + name; }
inline fs::path shotsFolder() {
    const fs::path folder = fs::path(CORVANTHE_BINARY_DIR) / "gui-shots";
    fs::create_directories(folder);
    return folder;
}

// The secret half of the key built into the launcher, or empty when the build was given a key
// of its own (the tests cannot sign for that one).
inline std::string developmentKeyFile() {
    const fs::path secret = fs::path(CORVANTHE_BINARY_DIR) / "dev-key" / "release.key";
    const std::string built = trimmed(readBytes(fs::path(CORVANTHE_BINARY_DIR) / "launcher-release-key.txt"));
    const std::string pub = trimmed(readBytes(secret.string() + ".pub"));
    return !pub.empty() && pub == built && fs::exists(secret) ? secret.string() : std::string();
}

// A game folder's content as a release source: the stand-in game, the icon, and data.
inline void writeGameSource(const fs::path& folder, const std::string& version, std::size_t dataSize,
                            bool withIcon = true) {
    fs::create_directories(folder / "data");
    fs::copy_file(binary("demo_game"), folder / "corvanthe.exe", fs::copy_options::overwrite_existing);
    if (withIcon) {
        fs::create_directories(folder / "assets");
        fs::copy_file(fs::path(CORVANTHE_SOURCE_DIR) / "resources" / "corvanthe.ico",
                      folder / "assets" / "corvanthe.ico", fs::copy_options::overwrite_existing);
    }
    writeBytes(folder / "data" / "version.txt", "Corvanthe " + version + "\n");
    writeBytes(folder / "data" / "world.pak", randomBytes(dataSize, std::hash<std::string>{}(version)));
}

// Everything one GUI test needs, in a fresh temporary folder.
class GuiWorld {
public:
    static constexpr const char* testerKey = "PLAY-TEST-42";

    // screen and dpi: the private display's, as PrivateDisplay takes them.
    explicit GuiWorld(const std::string& screen = "1280x800x24", int dpi = 0)
        : display_(tmp_.path(), screen, dpi),
          nginx_(tmp_.path() / "site", tmp_.path() / "nginx", testerKey) {
        // A runtime folder of its own, as a desktop session gives every program: GLFW tries
        // Wayland first and its client library complains without one.
        fs::create_directories(runtimeDir());
        fs::permissions(runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directories(site());
        fs::create_directories(launcherDir());
        fs::copy_file(binary("corvanthe-launcher"), launcherExe());
    }

    bool displayOk() const { return display_.ok(); }
    const fs::path& root() const { return tmp_.path(); }
    fs::path site() const { return tmp_.path() / "site"; }
    fs::path launcherDir() const { return tmp_.path() / "launcher"; }
    fs::path launcherExe() const { return launcherDir() / "corvanthe-launcher"; }
    fs::path gameDir() const { return launcherDir() / "game"; }
    fs::path logFile() const { return launcherDir() / "logs" / "latest.log"; }
    std::string log() const { return readBytes(logFile()); }
    Nginx& nginx() { return nginx_; }
    fs::path runtimeDir() const { return tmp_.path() / "runtime"; }
    const std::string& displayName() const { return display_.name(); }
    Environment env(Environment extra = {}) const {
        extra["DISPLAY"] = display_.name();
        extra["XDG_RUNTIME_DIR"] = runtimeDir().string();
        return extra;
    }

    // Publishes a release of the source folder, Live or Testing, with news.
    bool publish(const fs::path& source, const std::string& version, bool testing = false,
                 const std::string& news = "# News\nA release.\n", const fs::path& launcher = {}) {
        const fs::path newsFile = tmp_.path() / ("news-" + version + ".txt");
        writeBytes(newsFile, news);
        std::vector<std::string> argv = {binary("publish_release"), "--key", developmentKeyFile(), "--out",
                                         site().string(), "--game", source.string(), "--version", version,
                                         "--news", newsFile.string()};
        if (testing) argv.push_back("--testing");
        if (!launcher.empty()) {
            argv.push_back("--launcher");
            argv.push_back(launcher.string());
        }
        return runProgram(argv, tmp_.path() / "publish.log") == 0;
    }

    // A source folder for a version, published; returns the folder.
    fs::path release(const std::string& version, bool testing = false, std::size_t dataSize = 20000) {
        const fs::path source = tmp_.path() / ("source-" + version);
        writeGameSource(source, version, dataSize);
        if (testing) writeBytes(source / "data" / "playtest.txt", "for playtesters\n");
        EXPECT_TRUE(publish(source, version, testing));
        return source;
    }

    // Installs a published release by hand, as the launcher would have left it.
    void preinstall(const fs::path& source, bool testing = false) {
        fs::copy(source, gameDir(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::copy_file(site() / (testing ? "testing" : "") / "manifest-win64.txt", gameDir() / ".installed",
                      fs::copy_options::overwrite_existing);
    }

    // The launcher, started from the temporary folder with the server and the arguments.
    Child start(std::vector<std::string> args, Environment extra = {}, bool withServer = true) {
        std::vector<std::string> argv = {launcherExe().string()};
        if (withServer) {
            argv.push_back("--server");
            argv.push_back(nginx_.url());
        }
        argv.insert(argv.end(), args.begin(), args.end());
        return Child(argv, env(std::move(extra)), tmp_.path(), tmp_.path() / "launcher-output.txt");
    }
    std::string output() const { return readBytes(tmp_.path() / "launcher-output.txt"); }

    std::string xdotool(const std::vector<std::string>& args, int* code = nullptr) {
        std::vector<std::string> argv = {"/usr/bin/xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        return trimmed(runCaptured(argv, env(), tmp_.path(), code));
    }
    std::string xHelper(const std::vector<std::string>& args, int* code = nullptr) {
        std::vector<std::string> argv = {binary("x_helper")};
        argv.insert(argv.end(), args.begin(), args.end());
        return trimmed(runCaptured(argv, env(), tmp_.path(), code));
    }

    // The launcher's visible window, once it has one.
    std::string windowOf(const Child& child, double seconds = 20.0) {
        std::string id;
        waitUntil([&] {
            id = xdotool({"search", "--onlyvisible", "--pid", std::to_string(child.pid())});
            id = id.substr(0, id.find('\n'));
            return !id.empty();
        }, seconds);
        return id;
    }

    // A press and a release the frame loop cannot miss: the button is held across frames.
    void click(const std::string& window, int x, int y) {
        xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "sleep", "0.2",
                 "mousedown", "1", "sleep", "0.3", "mouseup", "1", "sleep", "0.1"});
    }
    // Keys and text go through the X server's input (XTEST) to the focused window, as a real
    // keyboard's do; focus() first.
    void keys(const std::vector<std::string>& names) {
        std::vector<std::string> args = {"key", "--clearmodifiers", "--delay", "60"};
        args.insert(args.end(), names.begin(), names.end());
        xdotool(args);
    }
    void type(const std::string& text) { xdotool({"type", "--clearmodifiers", "--delay", "60", text}); }
    void focus(const std::string& window) {
        xdotool({"mousemove", "--window", window, "500", "300"});
        xdotool({"windowfocus", window});
    }

    // Saves the window's pixels under the build folder's gui-shots; true when written.
    bool shot(const std::string& window, const std::string& name) {
        int code = 1;
        xHelper({"shot", window, (shotsFolder() / (name + ".png")).string()}, &code);
        return code == 0;
    }
    // The same shot, read back; empty when it could not be taken.
    RgbImage look(const std::string& window, const std::string& name) {
        return shot(window, name) ? readRgbPng((shotsFolder() / (name + ".png")).string())
                                  : RgbImage{};
    }

    std::string settingsText() const { return readBytes(launcherDir() / "launcher.cfg"); }

    // What a failed start had around it: the launcher's output and log, and the display's state.
    std::string diagnosis() {
        int code = -1;
        runCaptured({"/usr/bin/xdpyinfo"}, env(), tmp_.path(), &code, 5.0);
        return "display " + display_.name() + " answers: " + (code == 0 ? "yes" : "no") + "\n" + output() +
               log() + readBytes(tmp_.path() / "xvfb.log");
    }

private:
    TempDir tmp_;
    PrivateDisplay display_;
    Nginx nginx_;
};

// Whether the action button at the start size (1024 by 620) reads "PLAY": its label, 92 units
// wide at scale 4, is centred in the button (x 744, y 512, 230 by 58), and a longer label
// ("INSTALL", "UPDATE", "WORKING") would begin left of it.
inline bool playShown(const RgbImage& image) {
    const auto ink = [&](int x, int w) {
        return pixelsNear(image, x, 525, w, 32, paletteText) +
               pixelsNear(image, x, 525, w, 32, paletteTextBright);
    };
    return image.width == 1024 && ink(813, 92) > 400 && ink(764, 45) == 0;
}

} // namespace qv::launcher::test
