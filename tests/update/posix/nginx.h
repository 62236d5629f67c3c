// A real update server for the tests: nginx on 127.0.0.1 with a temporary configuration and
// prefix, serving one folder as static files. Its "testing/" location answers 403 unless the
// request carries the right "X-Corvanthe-Key". Every request is logged as
// "<uri> <status> <bytes sent> <key header>" so a test can see exactly what was asked for.
// The server is stopped (fast shutdown) on teardown.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qv::launcher::test {

class Nginx {
  public:
    struct Request {
        std::string uri;
        int status = 0;
        std::uint64_t bytes = 0;
        std::string key; // "-" when the header was not sent
    };

    // root: the folder served at "/"; prefix: a private, writable folder for nginx's own files.
    Nginx(std::filesystem::path root, std::filesystem::path prefix, std::string testingKey)
        : root_(std::move(root)), prefix_(std::move(prefix)), testingKey_(std::move(testingKey)) {
        std::filesystem::create_directories(prefix_);
        port_ = freePort();
    }
    ~Nginx() { stop(); }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // Limits the rate of object downloads ("200k" per second and connection), from the next start.
    void setObjectRate(std::string rate) { objectRate_ = std::move(rate); }

    // Starts the server on its port (the same one across restarts); true once it accepts. The
    // first start moves to another free port when one picked meanwhile by a parallel test
    // cannot be had.
    bool start() {
        if (pid_ > 0) return true;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (startOnce()) {
                started_ = true;
                return true;
            }
            if (started_) return false;
            port_ = freePort();
        }
        return false;
    }

    // Fast shutdown: open connections are closed at once, as a server that goes away does.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        // The workers go with the master; wait until the port no longer answers.
        for (int i = 0; i < 200 && accepts(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    bool running() const { return pid_ > 0; }
    std::uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

    // Every request logged since the last clearLog, in order. A request is logged when nginx
    // is done with it, which may be a moment after the client has what it wanted; so this waits
    // until the server holds no other connection.
    std::vector<Request> requests() const {
        settle();
        std::vector<Request> out;
        std::ifstream in(prefix_ / "access.log");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            Request r;
            fields >> r.uri >> r.status >> r.bytes;
            std::getline(fields >> std::ws, r.key);
            out.push_back(r);
        }
        return out;
    }
    // The requests whose URI begins with the text.
    std::vector<Request> requestsFor(const std::string& uriPrefix) const {
        std::vector<Request> out;
        for (const Request& r : requests()) {
            if (r.uri.compare(0, uriPrefix.size(), uriPrefix) == 0) out.push_back(r);
        }
        return out;
    }
    void clearLog() const {
        settle();  // a late line of an earlier request must not land after the clearing
        std::ofstream(prefix_ / "access.log", std::ios::trunc).flush();
    }

  private:
    // Waits (up to two seconds) until the only open connection is the one asking.
    void settle() const {
        if (pid_ <= 0) return;
        for (int i = 0; i < 200; ++i) {
            if (activeConnections() <= 1) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    int activeConnections() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return 0;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        std::string reply;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const char request[] = "GET /nginx-status HTTP/1.0\r\n\r\n";
            if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
                char buffer[1024];
                ssize_t got;
                while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
                    reply.append(buffer, got);
            }
        }
        close(fd);
        const std::size_t at = reply.find("Active connections:");
        return at == std::string::npos ? 0 : std::atoi(reply.c_str() + at + 19);
    }

    bool startOnce() {
        writeConfig();
        const std::string conf = (prefix_ / "nginx.conf").string();
        const std::string prefix = prefix_.string() + "/";
        const std::string errorLog = (prefix_ / "error.log").string();
        std::vector<const char*> argv = {"nginx",      "-p", prefix.c_str(),   "-c",
                                         conf.c_str(), "-e", errorLog.c_str(), nullptr};
        const pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) {
            // A test that dies without its teardown takes its server with it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int devnull = ::open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            execv("/usr/sbin/nginx", const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        pid_ = child;
        for (int i = 0; i < 500; ++i) {
            if (accepts()) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop();
        return false;
    }

    static std::uint16_t freePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        std::uint16_t port = 0;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        if (fd >= 0) close(fd);
        return port;
    }

    bool accepts() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return ok;
    }

    void writeConfig() const {
        const std::string p = prefix_.string();
        std::ofstream conf(prefix_ / "nginx.conf", std::ios::trunc);
        if (geteuid() == 0) conf << "user root;\n";
        conf << "daemon off;\nmaster_process on;\nworker_processes 1;\n"
             << "pid " << p << "/nginx.pid;\n"
             << "error_log " << p << "/error.log;\n"
             << "events { worker_connections 128; }\n"
             << "http {\n"
             << "  log_format corvanthe '$uri $status $body_bytes_sent $http_x_corvanthe_key';\n"
             << "  access_log " << p << "/access.log corvanthe;\n"
             << "  client_body_temp_path " << p << "/body;\n"
             << "  proxy_temp_path " << p << "/proxy;\n"
             << "  fastcgi_temp_path " << p << "/fastcgi;\n"
             << "  uwsgi_temp_path " << p << "/uwsgi;\n"
             << "  scgi_temp_path " << p << "/scgi;\n"
             << "  default_type application/octet-stream;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port_ << ";\n"
             << "    root " << root_.string() << ";\n"
             << "    location /testing/ {\n"
             << "      if ($http_x_corvanthe_key != \"" << testingKey_ << "\") { return 403; }\n"
             << "    }\n"
             << "    location = /nginx-status {\n"
             << "      stub_status;\n"
             << "      access_log off;\n"
             << "    }\n"
             << "    location /objects/ {\n";
        if (!objectRate_.empty()) conf << "      limit_rate " << objectRate_ << ";\n";
        conf << "    }\n"
             << "  }\n"
             << "}\n";
    }

    std::filesystem::path root_;
    std::filesystem::path prefix_;
    std::string testingKey_;
    std::string objectRate_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
};

} // namespace qv::launcher::test
