// FileMd5 against `openssl md5` and `md5sum` on the same files in one run, page cache warm:
// a 512 MiB file (digested through one mapping) and a 1 GiB file (digested in blocks).
#include "bench_support.h"
#include "base/helpers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double Seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `runs`: the figure least disturbed by whatever else the machine does.
double Best(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, Seconds(f));
    return best;
}

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null").c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("tarnwick-bench-md5-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string mapped = (dir / "mapped.bin").string(), blocks = (dir / "blocks.bin").string();
    tw::bench::MakeRandomFile(mapped, tw::kMd5MappedLimit, 42);
    tw::bench::MakeRandomFile(blocks, 1ull << 30, 42);
    Run("cat '" + mapped + "' '" + blocks + "'"); // warm the page cache

    const int runs = 5;
    struct Row {
        const char* name;
        const std::string* file;
    } rows[] = {{"mapped", &mapped}, {"blocks", &blocks}};
    for (const auto& row : rows) {
        const std::string& file = *row.file;
        std::string ours, check;
        double tOurs = Best(runs, [&] { ours = tw::Md5Hex(tw::FileMd5(file, [](std::uint64_t, std::uint64_t) {})); });
        double tOpenssl = Best(runs, [&] { Run("openssl md5 '" + file + "'"); });
        double tMd5sum = Best(runs, [&] { Run("md5sum '" + file + "'"); });
        std::printf("# %s: ours %.3f s, openssl md5 %.3f s, md5sum %.3f s (%s)\n", row.name, tOurs, tOpenssl, tMd5sum,
                    ours.c_str());
        std::printf("ratio md5-%s-vs-openssl: %.2f\n", row.name, tOurs / tOpenssl);
        std::printf("ratio md5-%s-vs-md5sum: %.2f\n", row.name, tOurs / tMd5sum);
    }
    fs::remove_all(dir);
    return 0;
}
