#pragma once
// The reference launcher service (service/) run as a real process on 127.0.0.1 and an ephemeral
// port, for tests. Knobs bend its answers (see service/main.cpp); its request log shows what went
// over the wire. The process is ended when the object goes.
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

class ReferenceService {
public:
    struct Tls {
        std::string cert, key, maxVersion;
    };

    // `root` is the server folder; the service's own files (log, knobs, port) go into a
    // temporary folder of their own. The tests' build takes knobs and logs every request whole;
    // the operator's build (`operatorBuild`) runs as an operator would start it.
    // `extraArgs` go on its command line (e.g. --signing-key PEM). A service that signs needs
    // "public_url": when service.json names none, it is given the service's own address.
    explicit ReferenceService(std::string root, Tls tls = {}, const std::vector<std::string>& extraArgs = {},
                              bool operatorBuild = false)
        : root_(std::move(root)), tls_(std::move(tls)) {
        const std::string program =
            HostBuildDir() + (operatorBuild ? "/service/tarnwick_service" : "/service/tarnwick_test_service");
        const std::string work = HostPath(work_.Path());
        std::vector<std::string> args{program, "--root", HostPath(root_), "--port", "0", "--port-file", work + "port"};
        if (!operatorBuild)
            args.insert(args.end(), {"--wire-log", work + "log", "--knobs", work + "knobs.json"});
        if (!tls_.cert.empty()) {
            args.insert(args.end(), {"--tls-cert", HostPath(tls_.cert), "--tls-key", HostPath(tls_.key)});
            if (!tls_.maxVersion.empty())
                args.insert(args.end(), {"--tls-max", tls_.maxVersion});
        }
        for (auto& a : PlatformServiceArgs())
            args.push_back(a);
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        signs_ = std::find(extraArgs.begin(), extraArgs.end(), "--signing-key") != extraArgs.end();
        nlohmann::json settings = ReadSettings();
        const bool pin = signs_ && !settings.contains("public_url");
        if (pin) // its port is known only once it runs; until then any address will do
            WriteRaw(settings, "http://127.0.0.1:1");
        process_ = std::make_unique<HostProcess>(args, work_ / "stdout");
        for (int i = 0; i < 1000 && port_ == 0; ++i) {
            std::ifstream in(work_ / "port");
            if (!(in >> port_))
                port_ = 0;
            if (port_ == 0) {
                if (!process_->Running())
                    throw std::runtime_error("the reference service did not start: " + ReadBytes(work_ / "stdout"));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (port_ == 0)
            throw std::runtime_error("the reference service did not report its port");
        if (pin)
            WriteRaw(settings, Base());
    }
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;
    ~ReferenceService() { Stop(); }

    void Stop() {
        if (process_)
            status_ = process_->Stop();
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

    // Writes service.json, with the service's address as "public_url" when it signs and
    // `settings` names none.
    void WriteSettings(nlohmann::json settings) const {
        if (signs_ && !settings.contains("public_url"))
            settings["public_url"] = Base();
        WriteBytes(root_ + "/service.json", settings.dump());
    }

    // Replaces the knobs (read by the service on every request).
    void SetKnobs(const nlohmann::json& knobs) {
        WriteBytes(work_ / "knobs.tmp", knobs.dump());
        ReplaceWith(work_ / "knobs.tmp", work_ / "knobs.json");
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
        TempFolder work{"tarnwick-keygen"};
        HostProcess keygen({HostBuildDir() + "/service/tarnwick_service", "keygen", HostPath(folder)}, work / "out");
        for (int i = 0; i < 1000 && keygen.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        keygen.Stop();
        std::string key = ReadBytes(work / "out");
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
    nlohmann::json ReadSettings() const {
        const std::string path = root_ + "/service.json";
        if (!Exists(path))
            return nlohmann::json::object();
        nlohmann::json j = nlohmann::json::parse(ReadBytes(path), nullptr, false);
        return j.is_object() ? j : nlohmann::json::object();
    }
    void WriteRaw(nlohmann::json settings, const std::string& publicUrl) const {
        settings["public_url"] = publicUrl;
        WriteBytes(root_ + "/service.json", settings.dump());
    }

    std::string root_;
    Tls tls_;
    bool signs_ = false;
    TempFolder work_{"tarnwick-service"};
    std::unique_ptr<HostProcess> process_;
    int port_ = 0;
    int status_ = 0;
};

} // namespace tw::test
