// The parts of the tests' support that use the system: temporary folders, the shell and its
// tools, sockets and the environment (POSIX).
#include "test_support.h"

#include <arpa/inet.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <array>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
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

std::string HostBuildDir() {
    return BuildDir();
}

std::string HostPath(const std::string& path) {
    return path;
}

std::vector<std::string> PlatformServiceArgs() {
    return {};
}

void PlaceHelpers(const std::string&) {}

DriveRoot::DriveRoot(const std::string&) {}
DriveRoot::~DriveRoot() = default;

HeldFile::HeldFile(const std::string&) {}
HeldFile::~HeldFile() = default;

std::string ProgramBytes() {
    return "#!/bin/sh\necho game\n";
}

struct MachineLock::State {
    int fd = -1;
};

MachineLock::MachineLock(const std::string& name) : state_(std::make_unique<State>()) {
    state_->fd = ::open(("/tmp/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (state_->fd >= 0)
        ::flock(state_->fd, LOCK_EX);
}

MachineLock::~MachineLock() {
    if (state_->fd >= 0)
        ::close(state_->fd);
}

std::string MountSmallFileSystem(const std::string& folder, const std::string& size) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarnwick-small", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
        return std::string("no private mount here: ") + std::strerror(errno);
    return {};
}

void UnmountSmallFileSystem(const std::string& folder) {
    ::umount2(folder.c_str(), MNT_DETACH);
}

std::string OtherFileSystemFolder(const std::string& near) {
    struct stat a {
    }, b{};
    if (::stat(near.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        return {};
    std::string pattern = "/dev/shm/tarnwick-temp-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern + "/" : std::string();
}

void ReplaceWith(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw std::runtime_error("cannot rename " + from + " to " + to);
}

struct HostProcess::State {
    pid_t pid = -1;
    int status = 0;
};

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& outputFile)
    : state_(std::make_unique<State>()) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    state_->pid = ::fork();
    if (state_->pid == 0) {
        std::freopen(outputFile.c_str(), "w", stdout);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (state_->pid < 0)
        throw std::runtime_error("cannot start " + args.at(0));
}

HostProcess::~HostProcess() {
    Stop();
}

bool HostProcess::Running() {
    if (state_->pid > 0 && ::waitpid(state_->pid, &state_->status, WNOHANG) == state_->pid)
        state_->pid = -1;
    return state_->pid > 0;
}

int HostProcess::Stop() {
    if (state_->pid <= 0)
        return state_->status;
    ::kill(state_->pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (!Running())
            return state_->status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(state_->pid, SIGKILL);
    ::waitpid(state_->pid, nullptr, 0);
    state_->pid = -1;
    state_->status = -1;
    return state_->status;
}

} // namespace tw::test
