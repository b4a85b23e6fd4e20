#pragma once
// nginx (Debian's nginx-light) run with the shipped service/nginx/tarnwick.conf, as an operator
// installs it, but in a prefix of its own: its configuration, pid file, logs and temporary folders
// lie in a temporary folder, it listens on free ports of 127.0.0.1 only, and it needs no root.
// Only the operator's values of the shipped file are replaced: the server folder, the listen
// line and the service's port. The process is ended when the object goes.
#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

class Nginx {
public:
    // `root`: the server folder; `servicePort`: where tarnwick_service listens on 127.0.0.1;
    // `ports`: how many ports nginx listens on (all serve the same server block).
    Nginx(const std::string& root, int servicePort, int ports = 1, int workerConnections = 1024) {
        std::string conf = ReadBytes(SourceDir() + "/service/nginx/tarnwick.conf");
        std::string folder = root;
        if (!folder.empty() && folder.back() == '/')
            folder.pop_back();
        Replace(conf, "/srv/tarnwick", folder);
        Replace(conf, "127.0.0.1:8931", "127.0.0.1:" + std::to_string(servicePort));
        for (const char* temp : {"body", "proxy", "fastcgi", "uwsgi", "scgi"})
            Shell("mkdir -p '" + prefix_ / temp + "'");
        // A port taken between our look and nginx's bind makes nginx fail: try again, a few times.
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
            ports_.clear();
            std::string listen;
            for (int i = 0; i < ports; ++i) {
                ports_.push_back(FreePort());
                listen += (i ? "\n    listen 127.0.0.1:" : "listen 127.0.0.1:") + std::to_string(ports_.back()) + ";";
            }
            std::string server = conf;
            Replace(server, "listen 80;", listen);
            WriteBytes(prefix_ / "tarnwick.conf", server);
            WriteBytes(prefix_ / "nginx.conf", MainConf(workerConnections));
            Start();
        }
        if (pid_ < 0)
            throw std::runtime_error("nginx did not start: " + ReadBytes(prefix_ / "error.log"));
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;
    ~Nginx() { Stop(); }

    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    int Port(std::size_t i = 0) const { return ports_.at(i); }
    std::string Base(std::size_t i = 0) const { return "http://127.0.0.1:" + std::to_string(Port(i)); }
    std::string AccessLog() const { return ReadBytes(prefix_ / "access.log"); }
    std::string ErrorLog() const { return ReadBytes(prefix_ / "error.log"); }

    // A port nobody listens on right now.
    static int FreePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
        ::close(fd);
        return port;
    }

private:
    static void Replace(std::string& text, const std::string& from, const std::string& to) {
        bool found = false;
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
            found = true;
        }
        if (!found)
            throw std::runtime_error("service/nginx/tarnwick.conf has no " + from);
    }

    std::string MainConf(int workerConnections) const {
        const std::string p = prefix_.Path();
        // In one process, nginx never changes its user: the same whether the tests run as root or not.
        return "daemon off;\nmaster_process off;\npid " + p + "nginx.pid;\nlock_file " + p + "nginx.lock;\nerror_log " +
               p + "error.log warn;\nworker_rlimit_nofile 65536;\n" + "events { worker_connections " +
               std::to_string(workerConnections) +
               "; }\n"
               "http {\n"
               "    include /etc/nginx/mime.types;\n"
               "    access_log " +
               p + "access.log;\n    client_body_temp_path " + p + "body;\n    proxy_temp_path " + p +
               "proxy;\n    fastcgi_temp_path " + p + "fastcgi;\n    uwsgi_temp_path " + p + "uwsgi;\n" +
               "    scgi_temp_path " + p + "scgi;\n    include " + p + "tarnwick.conf;\n}\n";
    }

    void Start() {
        const std::string p = prefix_.Path();
        pid_ = ::fork();
        if (pid_ == 0) {
            std::freopen((p + "stderr").c_str(), "w", stderr);
            ::execl("/usr/sbin/nginx", "nginx", "-p", p.c_str(), "-c", (p + "nginx.conf").c_str(), "-e",
                    (p + "error.log").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Up when every port accepts; gone when the process ended (a port taken meanwhile).
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            bool up = true;
            for (int port : ports_)
                up = up && PortBusy(port);
            if (up)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Stop();
    }

    TempFolder prefix_{"tarnwick-nginx"};
    std::vector<int> ports_;
    pid_t pid_ = -1;
};

} // namespace tw::test
