// A client download cut short and started again: the core's update worker runs in a process of
// its own, which is killed (SIGKILL, as a power cut or the task manager would) once about half of
// the client has arrived; its aria2c then saves its progress and ends by itself. A second worker
// in the same program folder finishes the install. The reference service paces every file (as a
// real line would) and logs the body bytes it handed out per request, so
//   arrived   = bytes served before the second start,
//   refetched = bytes served in all - the client's size (what had to come twice),
// and the figure is refetched over arrived: "ratio refetched-vs-arrived: X.XX" (the worst run; the
// goal is below 0.10). TARNWICK_BENCH_SCALE divides the sizes, TARNWICK_BENCH_RUNS sets the runs
// (3), TARNWICK_BENCH_RATE the bytes per second of one file's transfer (8 MiB/s).
#include "aria2_port_lock.h"
#include "update_bench.h"

#include "platform/process.h"
#include "update/aria2.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tw;
using namespace tw::bench;

namespace {

struct ResumeShape {
    long scale = EnvNumber("TARNWICK_BENCH_SCALE", 1);
    long smallCount = std::max(4L, 40 / scale);
    std::uint64_t smallSize = (1ull << 20) / static_cast<std::uint64_t>(scale);
    std::uint64_t bigSize = (96ull << 20) / static_cast<std::uint64_t>(scale);
    long rate = EnvNumber("TARNWICK_BENCH_RATE", 8L << 20) / scale;
    int runs = static_cast<int>(EnvNumber("TARNWICK_BENCH_RUNS", 3));

    std::vector<std::string> Files() const {
        std::vector<std::string> out{"wow.exe"};
        for (int i = 0; i < 3; ++i)
            out.push_back("Data/common-" + std::to_string(i) + ".MPQ");
        for (long i = 0; i < smallCount; ++i)
            out.push_back("Interface/Folder" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".dat");
        return out;
    }
};

fs::path MakeResumeFolder(const ResumeShape& shape) {
    const fs::path root = fs::temp_directory_path() / ("tarnwick-bench-resume-" + std::to_string(shape.scale));
    if (fs::exists(root / "complete"))
        return root;
    fs::remove_all(root);
    std::uint64_t seed = 100;
    for (const auto& name : shape.Files()) {
        const fs::path p = root / "client" / name;
        fs::create_directories(p.parent_path());
        if (name == "wow.exe")
            test::WriteBytes(p, "#!/bin/sh\necho game\n");
        else
            MakeRandomFile(p.string(), name.starts_with("Data/") ? shape.bigSize : shape.smallSize, seed++);
    }
    test::WriteBytes(root / "home/index.html", "<html></html>");
    test::WriteBytes(root / "service.json", "{}");
    test::WriteBytes(root / "complete", "");
    return root;
}

// Body bytes of the client files the service handed out so far, and the number of such requests
// it has finished (access lines) and begun (request log).
struct Served {
    std::uint64_t bytes = 0;
    std::size_t finished = 0, begun = 0;
};

Served ServedSoFar(const test::ReferenceService& service) {
    Served s;
    std::istringstream out(service.Output());
    std::string line;
    while (std::getline(out, line)) {
        std::istringstream f(line);
        std::string tag, method, path, status;
        std::uint64_t bytes = 0;
        if (f >> tag >> method >> path >> status >> bytes && tag == "access:" && method == "GET" &&
            path.starts_with("/files/client/")) {
            s.bytes += bytes;
            ++s.finished;
        }
    }
    for (const auto& r : service.Requests())
        s.begun += r["method"] == "GET" && r["path"].get<std::string>().starts_with("/files/client/");
    return s;
}

// What the downloader has written below down/wow so far.
std::uint64_t BytesOnDisk(const fs::path& folder) {
    std::uint64_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec) && it->path().extension() != ".aria2")
            n += it->file_size(ec);
    return n;
}

bool Aria2cWorksIn(const fs::path& folder) {
    for (const auto& p : platform::ListProcesses())
        if (p.exeName.find("aria2c") != std::string::npos && p.workFolder == folder.string())
            return true;
    return false;
}

template <class Done> bool WaitFor(Done done, std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

double MiB(std::uint64_t n) {
    return static_cast<double>(n) / (1 << 20);
}

} // namespace

int main() {
    const ResumeShape shape;
    const fs::path root = MakeResumeFolder(shape);
    std::uint64_t total = 0;
    for (const auto& name : shape.Files())
        total += fs::file_size(root / "client" / name);
    const fs::path work = fs::temp_directory_path() / ("tarnwick-bench-resume-" + std::to_string(::getpid()));
    const fs::path program = work / "program";
    test::Aria2PortLock portLock;

    std::printf("# %zu files, %.1f MiB (3 x %.1f MiB), each sent at %.1f MiB/s; the worker's process is "
                "killed at half, then a second worker finishes; %d runs\n",
                shape.Files().size(), MiB(total), MiB(shape.bigSize), MiB(static_cast<std::uint64_t>(shape.rate)),
                shape.runs);
    double worst = 0;
    for (int run = 0; run < shape.runs; ++run) {
        std::fflush(stdout); // the processes forked below would print what is buffered once more
        fs::remove_all(work);
        fs::create_directories(program);
        test::ReferenceService service(root.string());
        nlohmann::json paths = nlohmann::json::object();
        for (const auto& name : shape.Files())
            paths["/files/client/" + name] = {{"rate", shape.rate}};
        service.SetKnobs({{"paths", paths}});

        // The first start, in a process of its own (this one has no other thread to fork with).
        const pid_t child = ::fork();
        if (child == 0) {
            WorkerRun r = RunWorker(service, program);
            ::_exit(r.ready ? 0 : 1);
        }
        const auto t0 = Clock::now();
        const bool half = WaitFor(
            [&] {
                int status = 0;
                return BytesOnDisk(program / "down/wow") >= total / 2 || ::waitpid(child, &status, WNOHANG) == child;
            },
            std::chrono::seconds(600));
        const std::uint64_t onDiskAtKill = BytesOnDisk(program / "down/wow");
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const double killedAt = Seconds(t0, Clock::now());
        if (!half || onDiskAtKill >= total) {
            std::fprintf(stderr, "the first worker was not caught half-way (%.1f of %.1f MiB)\n", MiB(onDiskAtKill),
                         MiB(total));
            return 1;
        }
        // Its aria2c notices that the launcher is gone, saves and ends; every answer it was getting
        // then breaks off and is logged.
        if (!WaitFor([&] { return !Aria2cWorksIn(program / "down"); }, std::chrono::seconds(60)) ||
            !WaitFor(
                [&] {
                    Served s = ServedSoFar(service);
                    return s.finished == s.begun;
                },
                std::chrono::seconds(30))) {
            std::fprintf(stderr, "the first worker's aria2c or its transfers did not end\n");
            return 1;
        }
        const Served first = ServedSoFar(service);

        // The second start.
        WorkerRun second = RunWorker(service, program);
        EndOurAria2Processes((program / "down").string());
        for (const auto& name : shape.Files())
            if (!second.ready || test::ToolMd5(program / name) != test::ToolMd5(root / "client" / name)) {
                std::fprintf(stderr, "the second worker did not install %s\n", name.c_str());
                for (const auto& p : second.phases)
                    std::fprintf(stderr, "%s\n", p.c_str());
                return 1;
            }
        const Served all = ServedSoFar(service);
        const std::uint64_t refetched = all.bytes > total ? all.bytes - total : 0;
        const double ratio = static_cast<double>(refetched) / static_cast<double>(first.bytes);
        worst = std::max(worst, ratio);
        std::printf("# run %d: killed at %.1f s with %.1f MiB on disk; %.1f MiB had arrived, %.1f MiB served "
                    "after the restart, %.1f MiB fetched twice (%.3f); second start %.2f s\n",
                    run + 1, killedAt, MiB(onDiskAtKill), MiB(first.bytes), MiB(all.bytes - first.bytes),
                    MiB(refetched), ratio, second.seconds);
        fs::remove_all(work);
    }
    std::printf("ratio refetched-vs-arrived: %.2f\n", worst);
    return 0;
}
