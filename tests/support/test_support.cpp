#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace tw::test {

fs::path FsPath(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    fs::path p = FsPath(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out) << "cannot write " << path;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WritePatternFile(const std::string& path, std::uint64_t size) {
    fs::path p = FsPath(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    std::uint64_t left = size;
    std::uint64_t n = 0;
    while (left > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        block[0] = static_cast<char>(n++);
        out.write(block.data(), static_cast<std::streamsize>(chunk));
        left -= chunk;
    }
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(FsPath(path), ec).type() != fs::file_type::not_found && !ec;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
}

int RunHost(const std::vector<std::string>& args, std::chrono::seconds limit) {
    TempFolder work{"tarnwick-host"};
    HostProcess process(args, work / "out");
    WaitUntil([&] { return !process.Running(); }, limit, std::chrono::milliseconds(20));
    const int status = process.Stop();
    return status < 0 || (status & 0x7F) != 0 ? -1 : (status >> 8) & 0xFF;
}

// The environment may point elsewhere (a copied build); by default the folders of this build.
std::string BuildDir() {
    const char* v = std::getenv("TARNWICK_BUILD_DIR");
    return v && *v ? v : TARNWICK_TEST_BUILD_DIR;
}

std::string SourceDir() {
    const char* v = std::getenv("TARNWICK_SOURCE_DIR");
    return v && *v ? v : TARNWICK_TEST_SOURCE_DIR;
}

} // namespace tw::test
