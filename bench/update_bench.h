#pragma once
// Pieces of the update worker's benchmarks (install, warmstart): a client-sized server folder on
// the reference service, the core's update worker with a window that stamps every notice, and
// the tools' yardsticks. TARNWICK_BENCH_SCALE=N divides every size by N (and the count of small
// files, down to ten) for quick runs while developing; TARNWICK_BENCH_RUNS sets the runs (3).
#include "bench_support.h"
#include "reference_service.h"

#include "update/downSpy.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace tw::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

inline long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    long n = v && *v ? std::atol(v) : 0;
    return n > 0 ? n : fallback;
}

// The server folder: client/ (small files in ten folders, three large ones and wow.exe) and
// patches/ (two large ones). Kept between runs under /tmp, keyed by the scale.
struct ServerShape {
    long scale = EnvNumber("TARNWICK_BENCH_SCALE", 1);
    long smallCount = std::max(10L, 1000 / scale);
    std::uint64_t smallSize = (1ull << 20) / static_cast<std::uint64_t>(scale);
    std::uint64_t bigSize = (300ull << 20) / static_cast<std::uint64_t>(scale);
    int runs = static_cast<int>(EnvNumber("TARNWICK_BENCH_RUNS", 3));

    std::string Describe() const {
        char text[200];
        std::snprintf(text, sizeof text, "%ld x %.2f MiB + 3 x %.1f MiB, patches 2 x %.1f MiB", smallCount,
                      static_cast<double>(smallSize) / (1 << 20), static_cast<double>(bigSize) / (1 << 20),
                      static_cast<double>(bigSize) / (1 << 20));
        return text;
    }
    std::vector<std::string> PatchNames() const { return {"Data/patch-3.MPQ", "Data/zhCN/patch-zhCN-3.MPQ"}; }
};

inline fs::path MakeServerFolder(const ServerShape& shape) {
    const fs::path root = fs::temp_directory_path() / ("tarnwick-bench-update-" + std::to_string(shape.scale));
    if (fs::exists(root / "complete"))
        return root;
    fs::remove_all(root);
    fs::create_directories(root / "home");
    std::uint64_t seed = 1;
    for (long i = 0; i < shape.smallCount; ++i) {
        fs::path p =
            root / "client/Interface" / ("Folder" + std::to_string(i % 10)) / ("file" + std::to_string(i) + ".dat");
        fs::create_directories(p.parent_path());
        MakeRandomFile(p.string(), shape.smallSize, seed++);
    }
    fs::create_directories(root / "client/Data");
    for (int i = 0; i < 3; ++i)
        MakeRandomFile((root / "client/Data" / ("common-" + std::to_string(i) + ".MPQ")).string(), shape.bigSize,
                       seed++);
    for (const auto& name : shape.PatchNames()) {
        fs::create_directories((root / "patches" / name).parent_path());
        MakeRandomFile((root / "patches" / name).string(), shape.bigSize, seed++);
    }
    test::WriteBytes(root / "client/wow.exe", "#!/bin/sh\necho game\n");
    test::WriteBytes(root / "home/index.html", "<html></html>");
    test::WriteBytes(root / "service.json", "{}");
    test::WriteBytes(root / "complete", "");
    return root;
}

// A main window that stamps every notice with the time it came.
class StampingForm : public IMainForm {
public:
    struct Event {
        Clock::time_point at;
        std::string kind, text;
    };
    void Synchronize(const std::function<void()>& fn) override {
        std::lock_guard lock(main_);
        fn();
    }
    void PostMessage(int) override {}
    void lbl_Msg() override { events.push_back({Clock::now(), "lblmsg", h_LblMsg}); }
    void lbl_Start_Game() override { events.push_back({Clock::now(), "lblstartgame", ""}); }
    void lbl_Down_Addon() override {}
    void lbl_Addon_End() override {}
    void LoadURL(const std::string&) override {}
    std::vector<Event> events; // touched under main_ only, and read after the worker ended

private:
    std::mutex main_;
};

struct WorkerRun {
    double seconds = 0;
    bool ready = false;              // lblstartgame came
    std::vector<std::string> phases; // "<from> - <to> s  <status text shape>"
};

// Runs the core's update worker in `program` against `service` until it ends.
inline WorkerRun RunWorker(const test::ReferenceService& service, const fs::path& program) {
    ::setenv("TARNWICK_SERVICE_URL", service.Endpoint().c_str(), 1);
    ::setenv("TARNWICK_DOWNLOAD_HOST", service.Base().c_str(), 1);
    StampingForm form;
    std::promise<void> ended;
    const std::string folder = program.string() + "/";
    const auto start = Clock::now();
    auto* spy = new TDownSpy(form, folder + "down/temp/", folder + "down/", folder);
    spy->OnTerminate = [&] { ended.set_value(); };
    spy->Resume();
    ended.get_future().wait();
    WorkerRun run;
    // Consecutive texts of one shape (digits aside) make one phase.
    const std::regex digits("[0-9]+");
    std::string shape;
    Clock::time_point from = start, lastOfShape = start;
    auto close = [&](Clock::time_point to) {
        if (shape.empty())
            return;
        char line[400];
        std::snprintf(line, sizeof line, "%6.2f - %6.2f s  (last at %6.2f)  %s", Seconds(start, from),
                      Seconds(start, to), Seconds(start, lastOfShape), shape.c_str());
        run.phases.push_back(line);
    };
    for (const auto& e : form.events) {
        std::string s = e.kind == "lblmsg" ? std::regex_replace(e.text, digits, "N") : e.kind;
        if (s == shape) {
            lastOfShape = e.at;
            continue;
        }
        close(e.at);
        shape = s;
        from = lastOfShape = e.at;
        if (e.kind == "lblstartgame") {
            run.ready = true;
            run.seconds = Seconds(start, e.at);
        }
    }
    close(from);
    return run;
}

// Runs a shell command; false unless it ended with 0.
inline bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

inline std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// md5sum over every file below `folder` on two cores, largest first.
inline bool Md5sumBothCores(const fs::path& folder) {
    return Shell("cd " + Quote(folder.string()) +
                 " && find . -type f -printf '%s %p\\n' | sort -rn | cut -d' ' -f2- | tr '\\n' '\\0'"
                 " | xargs -0 -P2 -n 16 md5sum >/dev/null");
}

inline void PrintRange(const char* what, const std::vector<double>& v) {
    std::printf("# %s: best %.2f s, worst %.2f s over %zu runs\n", what, *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()), v.size());
}

// The lines every update benchmark starts its report with: the shape and the last run's phases.
inline void PrintRunHeader(const ServerShape& shape, const WorkerRun& last) {
    std::printf("# %s; core update worker with a stamping window; %d runs\n", shape.Describe().c_str(), shape.runs);
    std::printf("# phases of the last run (status text, digits as N):\n");
    for (const auto& p : last.phases)
        std::printf("#   %s\n", p.c_str());
}

// Our best time over the tools' best time.
inline double BestRatio(const std::vector<double>& ours, const std::vector<double>& tools) {
    return *std::min_element(ours.begin(), ours.end()) / *std::min_element(tools.begin(), tools.end());
}

} // namespace tw::bench
