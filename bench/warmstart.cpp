// A start with the client installed and both patches in place: the core's update worker (with a
// window that stamps its notices, not the launcher under Xvfb) from its start to lblstartgame,
// against its floor: the one-second wait after the home page and md5sum of the two patches on
// both cores. The worker starts once the page is up, so the page load of `scripts/bench startup`
// is on neither side here. Prints "ratio warmstart-vs-floor: X.XX" (best against best).
#include "update_bench.h"

#include "net/service.h"

#include <unistd.h>

using namespace tw;
using namespace tw::bench;

int main() {
    const ServerShape shape;
    const fs::path root = MakeServerFolder(shape);
    const fs::path work = fs::temp_directory_path() / ("tarnwick-bench-warmstart-" + std::to_string(::getpid()));
    const fs::path program = work / "program";
    fs::remove_all(work);
    fs::create_directories(program);
    fs::copy(root / "client", program, fs::copy_options::recursive);
    fs::copy(root / "patches", program, fs::copy_options::recursive);
    test::ReferenceService service(root.string());
    {
        THttpClient http;
        PostAction(http, service.Endpoint(), "getWowFiles");
        PostAction(http, service.Endpoint(), "getPatches");
    }

    std::vector<double> ours, floor, md5;
    WorkerRun last;
    for (int run = 0; run < shape.runs; ++run) {
        WorkerRun r = RunWorker(service, program);
        if (!r.ready) {
            std::fprintf(stderr, "the worker did not end with lblstartgame\n");
            return 1;
        }
        ours.push_back(r.seconds);
        last = r;
        const auto t0 = Clock::now();
        std::string files;
        for (const auto& name : shape.PatchNames())
            files += " " + Quote((program / name).string());
        if (!Shell("printf '%s\\0'" + files + " | xargs -0 -P2 -n 1 md5sum >/dev/null"))
            return 1;
        md5.push_back(Seconds(t0, Clock::now()));
        floor.push_back(1.0 + md5.back());
    }
    fs::remove_all(work);

    PrintRunHeader(shape, last);
    PrintRange("worker to lblstartgame", ours);
    PrintRange("md5sum -P2 of the patches", md5);
    PrintRange("floor (1 s + md5sum)", floor);
    std::printf("ratio warmstart-vs-floor: %.2f\n", BestRatio(ours, floor));
    return 0;
}
