// A fresh install on loopback: the core's update worker (with a window that stamps its notices,
// not the launcher under Xvfb) from an empty program folder to lblstartgame, against the tools
// doing the same work in the same run: aria2c alone with the worker's own d.lst and aria2.conf
// (plus the two patch files, which the worker fetches too), then md5sum over every file on both
// cores. Prints "ratio install-vs-tools: X.XX" (best against best) and every phase on '#' lines.
#include "aria2_port_lock.h"
#include "update_bench.h"

#include "net/service.h"
#include "update/aria2.h"

#include <algorithm>
#include <fstream>
#include <unistd.h>

using namespace tw;
using namespace tw::bench;

int main() {
    const ServerShape shape;
    const fs::path root = MakeServerFolder(shape);
    const fs::path work = fs::temp_directory_path() / ("tarnwick-bench-install-" + std::to_string(::getpid()));
    test::ReferenceService service(root.string());
    {
        // The service digests its folders once and caches them: not part of any run.
        THttpClient http;
        PostAction(http, service.Endpoint(), "getWowFiles");
        PostAction(http, service.Endpoint(), "getPatches");
    }
    test::Aria2PortLock portLock; // the RPC port is shared with the tests on this machine

    std::vector<double> ours, tools, aria2, md5;
    WorkerRun last;
    for (int run = 0; run < shape.runs; ++run) {
        fs::remove_all(work);
        fs::create_directories(work / "program");
        WorkerRun r = RunWorker(service, work / "program");
        EndOurAria2Processes((work / "program/down").string());
        if (!r.ready || !fs::exists(work / "program/wow.exe")) {
            std::fprintf(stderr, "the worker did not install the client\n");
            for (const auto& p : r.phases)
                std::fprintf(stderr, "%s\n", p.c_str());
            return 1;
        }
        for (const auto& name : shape.PatchNames())
            if (test::ToolMd5(work / "program" / name) != test::ToolMd5(root / "patches" / name)) {
                std::fprintf(stderr, "patch %s is wrong\n", name.c_str());
                return 1;
            }
        ours.push_back(r.seconds);
        last = r;

        // The tools: the same list and configuration, RPC off so that aria2c ends when done.
        const fs::path tool = work / "tools";
        fs::create_directories(tool);
        fs::copy_file(work / "program/down/aria2.conf", tool / "aria2.conf");
        fs::copy_file(work / "program/down/d.lst", tool / "d.lst");
        {
            std::ofstream list(tool / "d.lst", std::ios::app | std::ios::binary);
            for (const auto& name : shape.PatchNames())
                list << service.Url("/files/patches/" + name) << "\r\n out=wow/" << name << "\r\n";
        }
        fs::remove_all(work / "program"); // not in the page cache's way
        const auto t0 = Clock::now();
        if (!Shell("cd " + Quote(tool.string()) +
                   " && aria2c --conf-path=aria2.conf --input-file=d.lst --enable-rpc=false --quiet=true >aria2c.out "
                   "2>&1")) {
            std::fprintf(stderr, "aria2c alone failed:\n%s\n", test::ReadBytes(tool / "aria2c.out").c_str());
            return 1;
        }
        const auto t1 = Clock::now();
        if (!Md5sumBothCores(tool / "wow"))
            return 1;
        const auto t2 = Clock::now();
        aria2.push_back(Seconds(t0, t1));
        md5.push_back(Seconds(t1, t2));
        tools.push_back(Seconds(t0, t2));
        fs::remove_all(work);
    }

    PrintRunHeader(shape, last);
    PrintRange("worker to lblstartgame", ours);
    PrintRange("aria2c alone", aria2);
    PrintRange("md5sum -P2", md5);
    PrintRange("tools (aria2c + md5sum)", tools);
    // The sequence's fixed 1000 ms waits where neither the download nor the check can run: after
    // start-up (the file list is not known yet), after the pass, before deployment and after each
    // fetched patch (whose digest takes a fraction of it). They bound the ratio from below.
    const double waits = 3.0 + static_cast<double>(shape.PatchNames().size());
    std::vector<double> rest;
    for (double s : ours)
        rest.push_back(s - waits);
    std::printf("# fixed waits outside the download: %.1f s; the worker without them: best %.2f s, %.2f of the tools\n",
                waits, *std::min_element(rest.begin(), rest.end()), BestRatio(rest, tools));
    std::printf("ratio install-vs-tools: %.2f\n", BestRatio(ours, tools));
    return 0;
}
