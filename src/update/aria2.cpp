#include "update/aria2.h"

#include "base/helpers.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"

#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

namespace tw {

namespace {

// Every aria2c this process started, for the end-of-run clean-up.
std::mutex gStartedMutex;
std::set<platform::ProcessId> gStarted;

std::string RandomSecret() {
    std::random_device rd;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i)
        s += kHex[rd() & 0xF];
    return s;
}

} // namespace

std::string TAria2::FindProgram(const std::string& programFolder) {
    for (const char* name : {"aria2c", "aria2c.exe"}) {
        std::string own = programFolder + name;
        if (platform::IsExecutableFile(own))
            return own;
    }
    return platform::FindOnPath("aria2c");
}

bool TAria2::Start(const std::string& programFolder, const std::string& downloadFolder, std::string& error,
                   std::chrono::milliseconds previousGrace) {
    // A second aria2c cannot bind the port while the first still holds it, and the polls would
    // then read the old one's figures.
    WaitGone(previousGrace);
    std::string program = FindProgram(programFolder);
    if (program.empty()) {
        error = "aria2c was found neither in " + programFolder + " nor on PATH";
        return false;
    }
    secret_ = RandomSecret();
    // The launcher's own settings come after the configuration file and so win over it; the file's
    // own word on them has been made a comment already (downloadInput.h).
    std::vector<std::string> args = {
        "--conf-path=aria2.conf",       "--dir=" + WithoutTrailingSeparator(downloadFolder),
        "--input-file=d.lst",           "--enable-rpc=true",
        "--rpc-listen-port=58012",      "--rpc-listen-all=false",
        "--rpc-allow-origin-all=false", "--daemon=false",
        "--rpc-secret=" + secret_,      "--stop-with-process=" + std::to_string(platform::CurrentProcessId())};
    pid_ = platform::SpawnDetached(program, args, WithoutTrailingSeparator(downloadFolder));
    if (pid_ <= 0) {
        error = "Cannot start \"" + program + "\": " + SystemErrorText(errno);
        return false;
    }
    std::lock_guard lock(gStartedMutex);
    gStarted.insert(pid_);
    return true;
}

std::string TAria2::Request(const std::string& method) const {
    static thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> id(0, 9998);
    nlohmann::ordered_json request;
    request["jsonrpc"] = "2.0";
    request["method"] = method;
    request["id"] = std::to_string(id(rng));
    request["params"] = nlohmann::ordered_json::array({"token:" + secret_});
    return request.dump();
}

bool TAria2::Running() const {
    return pid_ > 0 && platform::ProcessAlive(pid_);
}

void TAria2::WaitGone(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (platform::ProcessAlive(pid_) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (platform::ProcessAlive(pid_)) {
        platform::TerminateProcess(pid_);
        for (int i = 0; i < 100 && platform::ProcessAlive(pid_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard lock(gStartedMutex);
    gStarted.erase(pid_);
    pid_ = -1;
}

void EndOurAria2Processes(const std::string& downloadFolder) {
    std::set<platform::ProcessId> ours;
    {
        std::lock_guard lock(gStartedMutex);
        ours = gStarted;
    }
    const std::string folder = WithoutTrailingSeparator(downloadFolder);
    for (const auto& p : platform::ListProcesses()) {
        bool isAria2 = p.exeName.find("aria2c") != std::string::npos;
        if (isAria2 && (ours.count(p.pid) || (!folder.empty() && p.workFolder == folder)))
            platform::TerminateProcess(p.pid);
    }
}

} // namespace tw
