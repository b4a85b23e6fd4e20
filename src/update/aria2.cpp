#include "update/aria2.h"

#include "base/helpers.h"
#include "base/text.h"
#include "net/http.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "update/downloadInput.h"

#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

namespace tw {

namespace {

// Every aria2c this process started and its secret, for the end-of-run clean-up.
struct Started {
    std::shared_ptr<platform::ChildProcess> process;
    std::string secret;
};
std::mutex gStartedMutex;
std::vector<Started> gStarted;

std::vector<Started> StartedSoFar() {
    std::lock_guard lock(gStartedMutex);
    return gStarted;
}

std::string RandomSecret() {
    std::random_device rd;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i)
        s += kHex[rd() & 0xF];
    return s;
}

// aria2c processes working in the download folder that this launcher did not start (an earlier
// run's, for instance).
std::vector<platform::ProcessInfo> StrayAria2Processes(const std::string& downloadFolder,
                                                       const std::vector<Started>& ours);

// Asks them to end (SIGTERM: they save their control files, so their partial files are continued
// rather than fetched again) and waits until they have, up to `grace`; kills what is left.
void StopStrayAria2Processes(const std::string& downloadFolder, std::chrono::milliseconds grace) {
    const auto stray = StrayAria2Processes(downloadFolder, StartedSoFar());
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (const auto& p : stray)
        platform::TerminateProcess(p, true);
    for (const auto& p : stray) {
        while (platform::ProcessAlive(p.pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        platform::TerminateProcess(p);
    }
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
    // then read the old one's figures. That may also be the aria2c of a launcher that was killed
    // a moment ago: it would end by itself within a second or so, and is asked to now.
    WaitGone(previousGrace);
    StopStrayAria2Processes(downloadFolder, previousGrace);
    std::string program = FindProgram(programFolder);
    if (program.empty()) {
        error = "aria2c was found neither in " + programFolder + " nor on PATH";
        return false;
    }
    secret_ = RandomSecret();
    // aria2c reads one configuration: the service's (saved as aria2.conf, every option but those
    // that shape speed and retries made a comment) followed by the launcher's own settings, the
    // secret among them, in a file that only this user can read. The command line's settings win
    // over the file's.
    std::string serviceConf;
    platform::ReadFile(downloadFolder + "aria2.conf", serviceConf);
    try {
        platform::WritePrivateFile(downloadFolder + kAria2RunConf,
                                   NeutraliseAria2Conf(serviceConf) + LauncherAria2Settings(secret_));
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    std::vector<std::string> args = {std::string("--conf-path=") + kAria2RunConf,
                                     "--dir=" + WithoutTrailingSeparator(downloadFolder),
                                     "--input-file=d.lst",
                                     "--enable-rpc=true",
                                     "--rpc-listen-port=58012",
                                     "--rpc-listen-all=false",
                                     "--rpc-allow-origin-all=false",
                                     "--daemon=false",
                                     "--stop-with-process=" + std::to_string(platform::CurrentProcessId())};
    auto process = std::make_shared<platform::ChildProcess>(
        platform::SpawnHeld(program, args, WithoutTrailingSeparator(downloadFolder)));
    if (!process->Started()) {
        error = "Cannot start \"" + program + "\": " + SystemErrorText(errno);
        return false;
    }
    process_ = process;
    std::lock_guard lock(gStartedMutex);
    gStarted.push_back({process, secret_});
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

std::vector<int> TAria2::StoppedErrorCodes(THttpClient& http) const {
    nlohmann::json request = nlohmann::json::parse(Request("aria2.tellStopped"));
    // aria2c keeps the results of the last 1000 downloads (its max-download-result).
    request["params"].push_back(0);
    request["params"].push_back(1000);
    request["params"].push_back({"errorCode"});
    const nlohmann::json answer = nlohmann::json::parse(http.PostJson(kAria2Endpoint, request.dump()));
    std::vector<int> codes;
    for (const auto& download : answer.at("result")) {
        const auto code = download.value("errorCode", nlohmann::json());
        codes.push_back(code.is_string()   ? std::atoi(code.get<std::string>().c_str())
                        : code.is_number() ? code.get<int>()
                                           : 0);
    }
    return codes;
}

bool TAria2::Running() const {
    return process_ && process_->Alive();
}

void TAria2::Stop(std::chrono::milliseconds grace) {
    if (process_)
        process_->AskToEnd();
    WaitGone(grace);
}

void TAria2::WaitGone(std::chrono::milliseconds timeout) {
    if (!process_)
        return;
    if (!process_->WaitEnded(timeout)) {
        process_->Kill();
        process_->WaitEnded(std::chrono::seconds(2));
    }
    std::lock_guard lock(gStartedMutex);
    std::erase_if(gStarted, [&](const Started& s) { return s.process == process_; });
    process_.reset();
}

namespace {

std::vector<platform::ProcessInfo> StrayAria2Processes(const std::string& downloadFolder,
                                                       const std::vector<Started>& ours) {
    std::vector<platform::ProcessInfo> stray;
    const std::string folder = WithoutTrailingSeparator(downloadFolder);
    for (const auto& p : platform::ListProcesses()) {
        bool mine = false;
        for (const auto& s : ours)
            mine |= s.process->Pid() == p.pid && s.process->Alive();
        if (!mine && p.exeName.find("aria2c") != std::string::npos && !folder.empty() && p.workFolder == folder)
            stray.push_back(p);
    }
    return stray;
}

} // namespace

void EndOurAria2Processes(const std::string& downloadFolder) {
    const std::vector<Started> ours = StartedSoFar();
    for (const auto& s : ours)
        s.process->Kill();
    for (const auto& p : StrayAria2Processes(downloadFolder, ours))
        platform::TerminateProcess(p);
}

void StopOurAria2Processes(const std::string& downloadFolder, std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    const std::vector<Started> ours = StartedSoFar();
    for (const auto& s : ours) {
        if (!s.process->Alive())
            continue;
        try {
            THttpClient http;
            http.SetStallTimeout(std::chrono::seconds(1));
            TAria2 request;
            request.secret_ = s.secret;
            http.PostJson(kAria2Endpoint, request.Request("aria2.shutdown"));
        } catch (...) {
            // Not listening (any more): the signal below does the same.
        }
    }
    // aria2c takes seconds to obey the call; the signal makes it save and go at once.
    for (const auto& s : ours)
        s.process->AskToEnd();
    const auto stray = StrayAria2Processes(downloadFolder, ours);
    for (const auto& p : stray)
        platform::TerminateProcess(p, true);
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    for (const auto& s : ours)
        if (!s.process->WaitEnded(std::max(left(), std::chrono::milliseconds(0))))
            s.process->Kill();
    for (const auto& p : stray) {
        while (platform::ProcessAlive(p.pid) && left().count() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        platform::TerminateProcess(p);
    }
}

} // namespace tw
