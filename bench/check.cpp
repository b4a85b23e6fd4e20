// The client file check's digest work over a client-sized set (eight 256 MiB files and two
// 700 MiB files, page cache warm) against `md5sum` over the same files one after the other.
#include "base/parallelCheck.h"
#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string Capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p))
        out.append(buffer, n);
    ::pclose(p);
    return out;
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("tarnwick-bench-check-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<std::string> files;
    std::string list;
    for (int i = 0; i < 10; ++i) {
        std::string path = (dir / ("file" + std::to_string(i) + ".MPQ")).string();
        tw::bench::MakeRandomFile(path, i < 8 ? (256ull << 20) : (700ull << 20), static_cast<std::uint64_t>(i));
        files.push_back(path);
        list += " '" + path + "'";
    }
    // Expected digests from the tool itself; this also warms the page cache.
    std::string sums = Capture("md5sum" + list);
    std::vector<tw::FileCheckEntry> entries;
    for (std::size_t i = 0, pos = 0; i < files.size(); ++i) {
        std::string hex = sums.substr(pos, 32);
        for (char& c : hex)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        entries.push_back({files[i], hex});
        pos = sums.find('\n', pos) + 1;
    }

    double ours = 1e30, tool = 1e30, toolBoth = 1e30;
    char text[256];
    for (int run = 0; run < 3; ++run) {
        auto t0 = std::chrono::steady_clock::now();
        auto report = tw::CheckFilesInOrder(entries, [&](std::size_t i, std::uint64_t size, std::uint64_t done) {
            std::snprintf(text, sizeof text, "%zu %.0f", i,
                          100.0 * static_cast<double>(done) / static_cast<double>(size));
        });
        auto t1 = std::chrono::steady_clock::now();
        if (!report.allPassed) {
            std::fprintf(stderr, "check failed on unchanged files\n");
            return 1;
        }
        if (std::system(("md5sum" + list + " >/dev/null").c_str()) != 0)
            return 1;
        auto t2 = std::chrono::steady_clock::now();
        // What both cores give the tool itself: the bound of any check that digests file by file.
        if (std::system(("printf '%s\\0'" + list + " | xargs -0 -P2 -n1 md5sum >/dev/null").c_str()) != 0)
            return 1;
        auto t3 = std::chrono::steady_clock::now();
        ours = std::min(ours, std::chrono::duration<double>(t1 - t0).count());
        tool = std::min(tool, std::chrono::duration<double>(t2 - t1).count());
        toolBoth = std::min(toolBoth, std::chrono::duration<double>(t3 - t2).count());
    }
    fs::remove_all(dir);
    std::printf("# check %.3f s, md5sum %.3f s (best of 3, 3.4 GiB in 10 files, %u cores)\n", ours, tool,
                std::thread::hardware_concurrency());
    std::printf("# md5sum on both cores (xargs -P2) %.3f s: %.2f of md5sum alone\n", toolBoth, toolBoth / tool);
    std::printf("ratio check-vs-md5sum: %.2f\n", ours / tool);
    return 0;
}
