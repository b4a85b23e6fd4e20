// The service under load: 500 simulated launchers at once, each posting the five actions in the
// launcher's order (gethomepageurl, getwowhost, getupdate, getWowFiles, getPatches), one HTTP/1.0
// connection per request as the launcher makes them, against the operator's build of the service
// with a published client of 10,000 entries. The yardstick, in the same run: nginx (with the
// shipped configuration) serving the very same five answers as static files to the same 500
// clients in the same order. Prints requests per second and the 99th percentile on '#' lines and
// "ratio service-p99-vs-static": the p99 of getWowFiles over the p99 of its static copy.
// The two alternate TARNWICK_BENCH_RUNS times (3) and the medians are compared, as the machine
// may be shared. TARNWICK_BENCH_LAUNCHERS, TARNWICK_BENCH_ROUNDS (sequences per launcher, 3) and
// TARNWICK_BENCH_ENTRIES change the shape for quick runs.
#include "nginx.h"
#include "reference_service.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace tw::test;

namespace {

long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    long n = v && *v ? std::atol(v) : 0;
    return n > 0 ? n : fallback;
}

const char* const kActions[] = {"gethomepageurl", "getwowhost", "getupdate", "getWowFiles", "getPatches"};
constexpr int kSteps = 5;
constexpr int kWowFiles = 3;

// One simulated launcher: its requests one after another, each on a new connection.
struct Launcher {
    int fd = -1;
    int step = 0, round = 0;
    std::string out;
    std::size_t sent = 0;
    std::string head; // the first bytes of the answer, for its status
    std::uint64_t received = 0;
    Clock::time_point started;
};

struct Sample {
    int step;
    double ms;
};

struct Result {
    std::vector<Sample> samples;
    double seconds = 0;
    std::size_t failed = 0;
    std::uint64_t bytes = 0;
};

// Runs `launchers` clients for `rounds` five-step sequences against 127.0.0.1:port; `request`
// gives the bytes of each step's request.
Result Drive(int port, int launchers, int rounds, const std::vector<std::string>& request) {
    Result result;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Launcher> all(static_cast<std::size_t>(launchers));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int active = 0;
    auto open = [&](std::size_t i) {
        Launcher& l = all[i];
        l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        l.out = request[static_cast<std::size_t>(l.step)];
        l.sent = 0;
        l.head.clear();
        l.received = 0;
        l.started = Clock::now();
        int r = ::connect(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (r != 0 && errno != EINPROGRESS) {
            std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
            std::exit(1);
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, l.fd, &ev);
    };
    // The answer is complete when the server closes (HTTP/1.0): the next step, or the next round.
    auto finish = [&](std::size_t i, bool ok) {
        Launcher& l = all[i];
        ::epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
        ::close(l.fd);
        l.fd = -1;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - l.started).count();
        ok = ok && l.head.size() >= 12 && l.head.compare(9, 3, "200") == 0;
        if (ok)
            result.samples.push_back({l.step, ms});
        else
            ++result.failed;
        result.bytes += l.received;
        if (++l.step == kSteps) {
            l.step = 0;
            ++l.round;
        }
        if (l.round < rounds)
            open(i);
        else
            --active;
    };
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < all.size(); ++i, ++active)
        open(i);
    std::vector<epoll_event> events(1024);
    std::vector<char> buffer(1 << 18);
    while (active > 0) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 60'000);
        if (n <= 0) {
            std::fprintf(stderr, "no progress for a minute: %d launchers still waiting\n", active);
            std::exit(1);
        }
        for (int k = 0; k < n; ++k) {
            const auto i = static_cast<std::size_t>(events[static_cast<std::size_t>(k)].data.u64);
            Launcher& l = all[i];
            if (l.fd < 0)
                continue;
            const std::uint32_t what = events[static_cast<std::size_t>(k)].events;
            if ((what & EPOLLOUT) && l.sent < l.out.size()) {
                ssize_t w = ::send(l.fd, l.out.data() + l.sent, l.out.size() - l.sent, MSG_NOSIGNAL);
                if (w < 0 && errno != EAGAIN) {
                    finish(i, false);
                    continue;
                }
                if (w > 0)
                    l.sent += static_cast<std::size_t>(w);
                if (l.sent == l.out.size()) {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = i;
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, l.fd, &ev);
                }
            }
            if (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                for (;;) {
                    ssize_t r = ::recv(l.fd, buffer.data(), buffer.size(), 0);
                    if (r > 0) {
                        if (l.head.size() < 16)
                            l.head.append(buffer.data(), std::min<std::size_t>(static_cast<std::size_t>(r), 16));
                        l.received += static_cast<std::uint64_t>(r);
                        continue;
                    }
                    if (r < 0 && errno == EAGAIN)
                        break;
                    finish(i, r == 0);
                    break;
                }
            }
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(ep);
    return result;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::vector<double> Of(const Result& r, int step) {
    std::vector<double> out;
    for (const auto& s : r.samples)
        if (step < 0 || s.step == step)
            out.push_back(s.ms);
    return out;
}

void Report(const char* what, const Result& r) {
    std::printf("#   %s: %zu requests in %.2f s, %.0f requests/s, %.1f MB, p50 %.1f ms, p99 %.1f ms, %zu failed\n",
                what, r.samples.size(), r.seconds, static_cast<double>(r.samples.size()) / r.seconds,
                static_cast<double>(r.bytes) / 1e6, Percentile(Of(r, -1), 0.5), Percentile(Of(r, -1), 0.99), r.failed);
    for (int s = 0; s < kSteps; ++s)
        std::printf("#     %-15s p50 %7.1f ms  p99 %7.1f ms\n", kActions[s], Percentile(Of(r, s), 0.5),
                    Percentile(Of(r, s), 0.99));
}

std::string Post(int port, const std::string& action) {
    std::string body = "c=launcher&a=" + action + (action == "getupdate" ? "&version=2.0.10.219" : "");
    return "POST /index.php HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace

int main() {
    const int launchers = static_cast<int>(EnvNumber("TARNWICK_BENCH_LAUNCHERS", 500));
    const int rounds = static_cast<int>(EnvNumber("TARNWICK_BENCH_ROUNDS", 3));
    const long entries = EnvNumber("TARNWICK_BENCH_ENTRIES", 10'000);
    const int runs = static_cast<int>(EnvNumber("TARNWICK_BENCH_RUNS", 3));
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // The server folder: `entries` small client files in a hundred folders, a patch, an update.
    TempFolder root{"tarnwick-bench-service"};
    for (long i = 0; i < entries; ++i)
        WriteBytes(root / ("client/Data/Folder" + std::to_string(i % 100) + "/file-" + std::to_string(i) + ".MPQ"),
                   std::to_string(i));
    WriteBytes(root / "patches/Data/zhCN/patch-zhCN-5.MPQ", "patch");
    WriteBytes(root / "update/tarnwick_update.sh", "#!/bin/sh\n");
    WriteBytes(root / "home/index.html", "<html></html>");
    WriteBytes(root / "service.json",
               R"({"update": {"version": "2.0.10.220", "file": "update/tarnwick_update.sh", "paramstr": "--quiet"}})");
    if (Shell("'" + BuildDir() + "/service/tarnwick_service' publish --root '" + root.Path() + "' >/dev/null") != 0) {
        std::fprintf(stderr, "publish failed\n");
        return 1;
    }
    ReferenceService service(root.Path(), {}, {}, true);
    Nginx nginx(root.Path(), service.Port(), 1, 4096);

    // The same answers as static files, fetched once from the service.
    std::vector<std::string> toService, toNginx;
    for (const char* action : kActions) {
        toService.push_back(Post(service.Port(), action));
        const std::string answer =
            ShellOutput("curl -sf --http1.0 -H 'Host: 127.0.0.1:" + std::to_string(service.Port()) +
                        "' -d 'c=launcher&a=" + action +
                        (std::string(action) == "getupdate" ? "&version=2.0.10.219" : "") + "' " + service.Endpoint());
        if (answer.empty()) {
            std::fprintf(stderr, "no answer to %s\n", action);
            return 1;
        }
        WriteBytes(root / (std::string("home/bench/") + action + ".json"), answer);
        toNginx.push_back(std::string("GET /home/bench/") + action + ".json HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    }
    const std::uint64_t answerSize = fs::file_size(root / "home/bench/getWowFiles.json");

    Drive(service.Port(), 20, 1, toService); // warm both, out of the figures
    Drive(nginx.Port(), 20, 1, toNginx);
    std::printf("# %d launchers at once, %d x the five actions each, one connection per request; getWowFiles "
                "lists %ld entries (%.2f MB); %d runs, each the service then nginx\n",
                launchers, rounds, entries, static_cast<double>(answerSize) / 1e6, runs);
    // The machine is shared: the two alternate, and the medians over the runs are compared.
    std::vector<double> oursP99, theirsP99;
    for (int run = 1; run <= runs; ++run) {
        const Result ours = Drive(service.Port(), launchers, rounds, toService);
        const Result theirs = Drive(nginx.Port(), launchers, rounds, toNginx);
        std::printf("# run %d\n", run);
        Report("service", ours);
        Report("nginx, the same answers as static files", theirs);
        if (ours.failed || theirs.failed)
            return 1;
        oursP99.push_back(Percentile(Of(ours, kWowFiles), 0.99));
        theirsP99.push_back(Percentile(Of(theirs, kWowFiles), 0.99));
    }
    const double ours = Percentile(oursP99, 0.5), theirs = Percentile(theirsP99, 0.5);
    std::printf("# getWowFiles p99, median of the runs: service %.1f ms, nginx static %.1f ms\n", ours, theirs);
    std::printf("ratio service-p99-vs-static: %.2f\n", ours / theirs);
    return 0;
}
