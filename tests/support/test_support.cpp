#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tw::test {

TempFolder::TempFolder(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern + "/";
}

TempFolder::~TempFolder() {
    // Tests may leave read-only folders behind; open them up so the cleanup cannot fail.
    std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out) << "cannot write " << path;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WritePatternFile(const std::string& path, std::uint64_t size) {
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
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
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

int Shell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOutput(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), p))
        out.append(buffer.data(), n);
    ::pclose(p);
    return out;
}

std::string ToolMd5(const std::string& path) {
    std::string out = ShellOutput("md5sum '" + path + "' | cut -c1-32");
    out.resize(out.size() >= 32 ? 32 : out.size());
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The environment may point elsewhere (a copied build); by default the folders of this build.
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

bool PortBusy(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool busy = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return busy;
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    if (value)
        ::setenv(name_.c_str(), value, 1);
    else
        ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

std::string BuildDir() {
    const char* v = std::getenv("TARNWICK_BUILD_DIR");
    return v && *v ? v : TARNWICK_TEST_BUILD_DIR;
}

std::string SourceDir() {
    const char* v = std::getenv("TARNWICK_SOURCE_DIR");
    return v && *v ? v : TARNWICK_TEST_SOURCE_DIR;
}

} // namespace tw::test
