// An in-process HTTP server for wire-level tests: it accepts connections from
// the loopback address on its own thread and answers each with the same
// script of raw bytes, pauses and a close, so a test can make a server that
// sends half a header, falls silent, trickles, lies about lengths or resets.
#pragma once

#include "base/net.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qv::launcher::testing {

class ScriptedServer {
  public:
    struct Step {
        enum class Kind { Send, Pause, Hold, AwaitData, Call };
        Kind kind;
        std::string bytes;
        int ms = 0;
        std::function<void()> action = nullptr;
    };

    // Sends these bytes, waiting until the system has taken them all.
    static Step send(std::string bytes) { return {Step::Kind::Send, std::move(bytes), 0}; }
    // Does nothing for a while.
    static Step pause(int ms) { return {Step::Kind::Pause, {}, ms}; }
    // Waits (at most 5 s) until the client's bytes are there, without reading
    // them.
    static Step awaitData() { return {Step::Kind::AwaitData, {}, 0}; }
    // Stays connected, reading and dropping what comes, until the client
    // closes its end or the server is destroyed.
    static Step hold() { return {Step::Kind::Hold, {}, 0}; }
    // Runs the function on the server's thread: it may block, holding the script there until
    // the client has got where the test wants it.
    static Step call(std::function<void()> action) {
        return {Step::Kind::Call, {}, 0, std::move(action)};
    }

    // Makes the script of one connection from the request it read (up to its
    // blank line). Called on the server's thread; it may block, holding that
    // answer back until the test lets it go.
    using Responder = std::function<std::vector<Step>(const std::string& request)>;

    // After the script the connection is closed. With readRequest the request
    // is read (up to its blank line) before the script starts; without it the
    // request stays unread, so the close becomes a reset.
    explicit ScriptedServer(std::vector<Step> script, bool readRequest = true)
        : ScriptedServer(std::move(script), readRequest, nullptr) {}
    // Every connection's request is read and answered with the responder's script.
    explicit ScriptedServer(Responder responder) : ScriptedServer({}, true, std::move(responder)) {}

  private:
    ScriptedServer(std::vector<Step> script, bool readRequest, Responder responder)
        : script_(std::move(script)), readRequest_(readRequest), responder_(std::move(responder)) {
        // The listener interface has no way to report an ephemeral port, so
        // look for a free one in a range clear of the system's ephemeral ports,
        // starting at random so that test programs run side by side rarely
        // collide.
        std::random_device seed;
        const unsigned start = seed() % 10000;
        for (unsigned i = 0; i < 10000 && listener_ == INVALID_SOCKET; ++i) {
            port_ = static_cast<std::uint16_t>(20000 + (start + i) % 10000);
            listener_ = tcpListen(port_, 8);
        }
        if (listener_ == INVALID_SOCKET)
            throw std::runtime_error("no free port for the test server");
        thread_ = std::thread([this] { run(); });
    }

  public:
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        closeSocket(listener_);
    }

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // What the last client sent up to and including its blank line.
    std::string request() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

    int connections() const { return connections_; }
    // How many connections the server has closed after their script.
    int closedConnections() const { return closed_; }

    // True once a client closed its end while the server held the connection.
    bool waitClientClosed(int timeoutMs) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!clientClosed_) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

  private:
    static bool isLoopback(std::uint32_t peer) {
        std::uint8_t bytes[4];
        std::memcpy(bytes, &peer, sizeof bytes);
        return bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1;
    }

    void sleepUnlessStopped(int ms) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    void run() {
        while (!stop_) {
            waitReadable({listener_}, 20);
            std::uint32_t peer = 0;
            SOCKET client = tcpAccept(listener_, &peer);
            if (client == INVALID_SOCKET) continue;
            // The listener takes every address; only this machine is served.
            if (isLoopback(peer)) {
                ++connections_;
                serve(client);
            }
            closeSocket(client);
            ++closed_;
        }
    }

    void readRequest(SOCKET client) {
        std::vector<std::uint8_t> in;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string text;
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            waitReadable({client}, 20);
            const bool open = tcpReceive(client, in, 1u << 26);
            text.assign(in.begin(), in.end());
            if (text.find("\r\n\r\n") != std::string::npos || !open) break;
        }
        const std::size_t end = text.find("\r\n\r\n");
        std::lock_guard<std::mutex> lock(mutex_);
        request_ = end == std::string::npos ? text : text.substr(0, end + 4);
    }

    bool sendAll(SOCKET client, const std::string& bytes) const {
        std::vector<std::uint8_t> queue;
        if (!tcpSend(client, queue, bytes.data(), bytes.size())) return false;
        while (!queue.empty() && !stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!tcpFlush(client, queue)) return false;
        }
        return true;
    }

    void hold(SOCKET client) {
        std::vector<std::uint8_t> dropped;
        while (!stop_) {
            waitReadable({client}, 20);
            dropped.clear();
            if (!tcpReceive(client, dropped, 1u << 20)) {
                clientClosed_ = true;
                return;
            }
        }
    }

    void serve(SOCKET client) {
        if (readRequest_) readRequest(client);
        const std::vector<Step> script = responder_ ? responder_(request()) : script_;
        for (const Step& step : script) {
            if (stop_) return;
            switch (step.kind) {
            case Step::Kind::Send:
                if (!sendAll(client, step.bytes)) return;
                break;
            case Step::Kind::Pause:
                sleepUnlessStopped(step.ms);
                break;
            case Step::Kind::Hold:
                hold(client);
                break;
            case Step::Kind::AwaitData:
                waitReadable({client}, 5000);
                break;
            case Step::Kind::Call:
                step.action();
                break;
            }
        }
    }

    std::vector<Step> script_;
    bool readRequest_;
    Responder responder_;
    std::uint16_t port_ = 0;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> closed_{0};
    std::atomic<bool> clientClosed_{false};
    mutable std::mutex mutex_;
    std::string request_;
    std::thread thread_;
};

} // namespace qv::launcher::testing
