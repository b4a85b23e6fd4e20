#pragma once
// The reference launcher service (service/) run as a real process on 127.0.0.1 and an ephemeral
// port, for tests. Knobs bend its answers (see service/main.cpp); its request log shows what went
// over the wire. The process is ended when the object goes.
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw::test {

class ReferenceService {
public:
    struct Tls {
        std::string cert, key, maxVersion;
    };

    // `root` is the server folder; the service's own files (log, knobs, port) go into a
    // temporary folder of their own. The tests' build takes knobs and logs every request; the
    // operator's build (`operatorBuild`) runs as an operator would start it.
    // `extraArgs` go on its command line (e.g. --signing-key PEM).
    explicit ReferenceService(std::string root, Tls tls = {}, const std::vector<std::string>& extraArgs = {},
                              bool operatorBuild = false)
        : root_(std::move(root)), tls_(std::move(tls)) {
        const std::string program =
            BuildDir() + (operatorBuild ? "/service/tarnwick_service" : "/service/tarnwick_test_service");
        std::vector<std::string> args{program, "--root", root_, "--port", "0", "--port-file", work_ / "port"};
        if (!operatorBuild)
            args.insert(args.end(), {"--log", work_ / "log", "--knobs", work_ / "knobs.json"});
        if (!tls_.cert.empty()) {
            args.insert(args.end(), {"--tls-cert", tls_.cert, "--tls-key", tls_.key});
            if (!tls_.maxVersion.empty())
                args.insert(args.end(), {"--tls-max", tls_.maxVersion});
        }
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            std::freopen((work_ / "stdout").c_str(), "w", stdout);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 1000 && port_ == 0; ++i) {
            std::ifstream in(work_ / "port");
            if (!(in >> port_))
                port_ = 0;
            if (port_ == 0) {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    throw std::runtime_error("the reference service did not start: " + ReadBytes(work_ / "stdout"));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (port_ == 0)
            throw std::runtime_error("the reference service did not report its port");
    }
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;
    ~ReferenceService() { Stop(); }

    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        status_ = -1;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // How the process ended after Stop(): a wait status, or -1 when it had to be killed.
    int EndStatus() const { return status_; }
    // What the service printed so far (its access log among it).
    std::string Output() const { return ReadBytes(work_ / "stdout"); }

    int Port() const { return port_; }
    std::string Base() const {
        return (tls_.cert.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_);
    }
    std::string Url(const std::string& path) const { return Base() + path; }
    std::string Endpoint() const { return Url("/index.php"); }
    const std::string& Root() const { return root_; }

    // Replaces the knobs (read by the service on every request).
    void SetKnobs(const nlohmann::json& knobs) {
        WriteBytes(work_ / "knobs.tmp", knobs.dump());
        std::rename((work_ / "knobs.tmp").c_str(), (work_ / "knobs.json").c_str());
    }

    // Every request the service got so far, oldest first.
    std::vector<nlohmann::json> Requests() const {
        std::vector<nlohmann::json> out;
        std::istringstream in(ReadBytes(work_ / "log"));
        std::string line;
        while (std::getline(in, line))
            if (!line.empty())
                out.push_back(nlohmann::json::parse(line));
        return out;
    }
    // Runs `tarnwick_service keygen folder`; the public key it printed (the build setting's form).
    static std::string Keygen(const std::string& folder) {
        std::string key =
            ShellOutput("'" + BuildDir() + "/service/tarnwick_service' keygen '" + folder + "' 2>/dev/null");
        while (!key.empty() && (key.back() == '\n' || key.back() == '\r'))
            key.pop_back();
        return key;
    }

    // Header value of a logged request (names compared without regard to case); "" when absent.
    static std::string Header(const nlohmann::json& request, const std::string& name) {
        auto lower = [](std::string s) {
            for (char& c : s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        for (const auto& h : request["headers"])
            if (lower(h[0].get<std::string>()) == lower(name))
                return h[1].get<std::string>();
        return {};
    }

private:
    std::string root_;
    Tls tls_;
    TempFolder work_{"tarnwick-service"};
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = 0;
};

} // namespace tw::test
