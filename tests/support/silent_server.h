// A server on 127.0.0.1 that takes connections and never answers, for tests that need a real
// Updater but no update: a run that was started stays busy until the test lets it end, so busy
// right after a call tells exactly whether the call started a run.
#pragma once

#include "app/settings.h"
#include "update/updater.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace qv::launcher::test {

// Listens on 127.0.0.1 and leaves every connection waiting in the backlog: the client's request
// goes out and no reply ever comes.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return port_ != 0; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

    // Ends the run that waits on it: every connection is taken and closed at once until the
    // Updater is idle. False when it is still busy after ten seconds.
    bool release(Updater& updater) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (updater.busy.load()) {
            if (std::chrono::steady_clock::now() > end) return false;
            const int connection = accept(fd_, nullptr, nullptr);
            if (connection >= 0) {
                close(connection);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A real Updater asking the silent server, in a temporary launcher folder, and the locals of main
// beside it that the frame's pieces reach; a test fixture derives from it before its own members.
struct QuietUpdater {
    static constexpr std::uint8_t zeroKey[32] = {};
    QuietUpdater() : updater(tmp.path(), server.url(), zeroKey) {}

    TempDir tmp;
    SilentServer server;
    Updater updater;
    LauncherSettings cfg;
    bool verifyPending = false;
    const std::string shotPath;
};

} // namespace qv::launcher::test
