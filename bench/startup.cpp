// Start-up time of the launcher against a bare Qt WebEngine view showing the same page, both
// started the same way on the same private X display: from process start to the page's load
// event (as the page reports it to a server on 127.0.0.1). Also the memory of each process tree.
// Prints "ratio startup-vs-bare: X.XX" (our time over the bare view's).
#include "e2e.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <vector>

using namespace tw::test;
using namespace tw::test::e2e;

namespace {

constexpr int kRuns = 9;

struct Sample {
    double seconds = 0;
    TreeMemory memory;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One start: the time until the page's load report arrives, then the tree's memory, then an end.
bool RunOnce(const XSession& x, const ReportServer& server, const LauncherFolder& folder,
             const LauncherFolder::StartOptions& options, Sample& out) {
    const std::size_t before = server.Reports("load").size();
    const auto start = Clock::now();
    auto process = folder.Start(x, options);
    auto report = server.WaitFor("load", 60s, before + 1);
    const auto end = Clock::now();
    if (!report)
        return false;
    out.seconds = std::chrono::duration<double>(end - start).count();
    std::this_thread::sleep_for(500ms); // let the page settle before counting memory
    out.memory = ProcessTreeMemory(LauncherFolder::LauncherPid(*process));
    if (options.program.empty()) {
        // The launcher closes in order on the session's request, which keeps its profile sound.
        ::kill(LauncherFolder::LauncherPid(*process), SIGTERM);
        process->Wait(30s);
    }
    process->Kill();
    return true;
}

void PrintMemory(const char* name, const std::vector<Sample>& samples) {
    std::vector<double> rss, pss;
    int processes = 0;
    for (const auto& s : samples) {
        rss.push_back(static_cast<double>(s.memory.rssKiB) / 1024.0);
        pss.push_back(static_cast<double>(s.memory.pssKiB) / 1024.0);
        processes = std::max(processes, s.memory.processes);
    }
    std::printf("memory %s: %d processes, RSS %.0f MB, PSS %.0f MB (medians)\n", name, processes, Median(rss),
                Median(pss));
}

} // namespace

int main() {
    XSession x;
    ReportServer server;
    const std::string page = server.PageWithReporter(
        "<h1>Tarnwick</h1><p>启动时间测试</p>"
        "<script>window.addEventListener('load', function () { twReport('load', ''); });</script>",
        "<style>body{margin:0;background:#141a2e;color:#fff;font:20px sans-serif}</style>");

    LauncherFolder launcher;
    launcher.WritePage(page);
    LauncherFolder bare; // the same page, in a folder of its own
    bare.WritePage(page);
    const std::string bareView = BuildDir() + "/bench/bench_bare_view";
    std::filesystem::copy_file(bareView, bare.Path() + "bare_view");

    LauncherFolder::StartOptions ours;
    LauncherFolder::StartOptions theirs;
    theirs.program = bare.Path() + "bare_view";
    theirs.args = {bare.Path() + "launcherui/index.html"};

    std::vector<Sample> oursSamples, bareSamples;
    // One start of each first: the disk caches and the profile folder are then warm for both.
    for (int i = -1; i < kRuns; ++i) {
        Sample a, b;
        if (!RunOnce(x, server, launcher, ours, a) || !RunOnce(x, server, bare, theirs, b)) {
            std::fprintf(stderr, "startup: a page did not report its load\n");
            return 1;
        }
        if (i >= 0) {
            oursSamples.push_back(a);
            bareSamples.push_back(b);
        }
    }
    std::vector<double> o, t;
    for (const auto& s : oursSamples)
        o.push_back(s.seconds);
    for (const auto& s : bareSamples)
        t.push_back(s.seconds);
    std::printf("startup launcher: %.3f s, bare view: %.3f s (medians of %d runs)\n", Median(o), Median(t), kRuns);
    PrintMemory("launcher", oursSamples);
    PrintMemory("bare view", bareSamples);
    std::printf("ratio startup-vs-bare: %.2f\n", Median(o) / Median(t));
    return 0;
}
