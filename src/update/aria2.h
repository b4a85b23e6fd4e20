#pragma once
// The downloader of the client files: one aria2c process per download pass, driven over its
// JSON-RPC endpoint. Each process gets a secret of its own, so that only this launcher can drive
// it (any web page could otherwise post to the fixed local port), through a file no other user
// can read, and ends by itself shortly after the launcher does.
#include "platform/process.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

class THttpClient;

inline constexpr char kAria2Endpoint[] = "http://127.0.0.1:58012/jsonrpc";
// The configuration aria2c is started with, in the download folder (readable by this user only).
inline constexpr char kAria2RunConf[] = "aria2-run.conf";
// aria2's error code of a download that could not be written for want of disk space.
inline constexpr int kAria2DiskFull = 9;

class TAria2 {
public:
    TAria2() = default;
    TAria2(const TAria2&) = delete;
    TAria2& operator=(const TAria2&) = delete;

    // The aria2c to run: the program folder's own, else the one on PATH; empty when there is none.
    static std::string FindProgram(const std::string& programFolder);

    // Starts aria2c in `downloadFolder` with the configuration kAria2RunConf (the service's
    // aria2.conf, filtered, and the launcher's own settings with a fresh secret) and the folder,
    // input list (d.lst) and RPC port (local only) on its command line, after the process this
    // object started before has gone (asked to end when it does not go by itself within
    // `previousGrace`). False with a reason in `error` when it cannot be started.
    bool Start(const std::string& programFolder, const std::string& downloadFolder, std::string& error,
               std::chrono::milliseconds previousGrace = std::chrono::seconds(8));

    // A JSON-RPC request for `method` with a fresh id and this process's secret:
    // {"jsonrpc":"2.0","method":...,"id":"<0..9998>","params":["token:<secret>"]}
    std::string Request(const std::string& method) const;

    // The error codes aria2c gives the downloads that have stopped so far (0 for a complete one;
    // 9 when the disk was full), asked over `http`. Raises when it does not answer.
    std::vector<int> StoppedErrorCodes(THttpClient& http) const;

    // True while the process started last is alive.
    bool Running() const;
    // Asks the process started last to end (it saves its control files), then waits for it as
    // WaitGone does.
    void Stop(std::chrono::milliseconds grace);
    platform::ProcessId Pid() const { return process_ ? process_->Pid() : -1; }
    const std::string& Secret() const { return secret_; }

    // Waits up to `timeout` for the process started last to end; ends it when it does not.
    void WaitGone(std::chrono::milliseconds timeout);

private:
    friend void StopOurAria2Processes(const std::string&, std::chrono::milliseconds);
    std::shared_ptr<platform::ChildProcess> process_; // shared with the end-of-run clean-up
    std::string secret_;
};

// Ends, without waiting, every aria2c that this launcher started and every aria2c whose current
// folder is `downloadFolder`; other programs' downloaders are left alone.
void EndOurAria2Processes(const std::string& downloadFolder);

// The launcher's end: the same downloaders, but asked to stop so that they save their progress
// (control files) for the next start: aria2.shutdown over the RPC endpoint for those this
// launcher started, SIGTERM for all of them, and SIGKILL only for one still running after
// `grace`. Returns when all have ended (or been killed).
void StopOurAria2Processes(const std::string& downloadFolder,
                           std::chrono::milliseconds grace = std::chrono::seconds(5));

} // namespace tw
