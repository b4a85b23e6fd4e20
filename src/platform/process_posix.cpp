#include "platform/process.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tw::platform {

ProcessId CurrentProcessId() {
    return static_cast<ProcessId>(::getpid());
}

namespace {

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool PidfdSignal(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
#else
    (void)pidfd;
    (void)signal;
    errno = ENOSYS;
    return false;
#endif
}

// Starts the program; `held` (when given) gets a pidfd taken before the reaper can reap it, so
// the number cannot have been reused yet.
ProcessId Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& workFolder,
                int* held) {
    std::vector<std::string> argvStore;
    argvStore.reserve(args.size() + 1);
    argvStore.push_back(program);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (!workFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workFolder.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A session of its own, default signal handling and an empty signal mask: the child must not
    // inherit what a GUI toolkit blocked or ignored in this process.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    if (held)
        *held = PidfdOpen(pid);
    // Nobody waits for the program; reap it when it ends so that it leaves no zombie behind.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return static_cast<ProcessId>(pid);
}

} // namespace

ProcessId SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workFolder) {
    return Spawn(program, args, workFolder, nullptr);
}

ChildProcess SpawnHeld(const std::string& program, const std::vector<std::string>& args,
                       const std::string& workFolder) {
    int handle = -1;
    ProcessId pid = Spawn(program, args, workFolder, &handle);
    return pid > 0 ? ChildProcess(pid, handle) : ChildProcess();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), handle_(other.handle_) {
    other.pid_ = -1;
    other.handle_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0)
            ::close(handle_);
        pid_ = other.pid_;
        handle_ = other.handle_;
        other.pid_ = -1;
        other.handle_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (handle_ >= 0)
        ::close(handle_);
}

bool ChildProcess::Alive() const {
    if (pid_ <= 0)
        return false;
    if (handle_ < 0)
        return ProcessAlive(pid_); // a kernel without pidfds
    pollfd p{handle_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0; // the handle becomes readable when the process ends
}

bool ChildProcess::WaitEnded(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Alive()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (handle_ >= 0) {
            pollfd p{handle_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return true;
}

bool ChildProcess::Send(int signal) const {
    if (!Alive())
        return false;
    if (handle_ >= 0)
        return PidfdSignal(handle_, signal);
    return ::kill(static_cast<pid_t>(pid_), signal) == 0;
}

bool ChildProcess::AskToEnd() const {
    return Send(SIGTERM);
}
bool ChildProcess::Kill() const {
    return Send(SIGKILL);
}

namespace {

std::string ReadLink(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ReadSmallFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Field 22 of /proc/PID/stat: when the process started, in clock ticks since boot. 0 when gone.
std::uint64_t StartTime(long pid) {
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    // After ") " come field 3 (state) onwards; the start time is the 20th of them.
    std::size_t pos = close + 2;
    for (int field = 3; field < 22 && pos != std::string::npos; ++field) {
        pos = stat.find(' ', pos);
        if (pos != std::string::npos)
            ++pos;
    }
    return pos == std::string::npos ? 0 : std::strtoull(stat.c_str() + pos, nullptr, 10);
}

} // namespace

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> result;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return result;
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::string base = std::string("/proc/") + e->d_name;
        ProcessInfo info;
        info.pid = pid;
        std::string exe = ReadLink(base + "/exe");
        if (!exe.empty()) {
            // A replaced binary reads "/path/name (deleted)".
            static const std::string kDeleted = " (deleted)";
            if (exe.size() > kDeleted.size() &&
                exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
                exe.resize(exe.size() - kDeleted.size());
            info.exeName = exe.substr(exe.find_last_of('/') + 1);
        } else {
            // Kernel threads and processes we may not inspect: the short command name.
            std::string comm = ReadSmallFile(base + "/comm");
            while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0'))
                comm.pop_back();
            info.exeName = comm;
        }
        info.workFolder = ReadLink(base + "/cwd");
        info.startTime = StartTime(pid);
        result.push_back(std::move(info));
    }
    ::closedir(proc);
    return result;
}

bool TerminateProcess(ProcessId pid) {
    if (pid <= 0)
        return false;
    int pidfd = PidfdOpen(static_cast<pid_t>(pid));
    if (pidfd < 0)
        return errno == ENOSYS && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
    bool ok = PidfdSignal(pidfd, SIGKILL);
    ::close(pidfd);
    return ok;
}

bool TerminateProcess(const ProcessInfo& process, bool askFirst) {
    if (process.pid <= 0)
        return false;
    // Hold the process first, then make sure it is the one that was listed: from then on its
    // number cannot pass to another process while the handle is open.
    int pidfd = PidfdOpen(static_cast<pid_t>(process.pid));
    if (pidfd < 0)
        return false;
    bool ok = StartTime(process.pid) == process.startTime && PidfdSignal(pidfd, askFirst ? SIGTERM : SIGKILL);
    ::close(pidfd);
    return ok;
}

bool ProcessAlive(ProcessId pid) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size())
        return stat[close + 2] != 'Z' && stat[close + 2] != 'X';
    return true;
}

std::string FindOnPath(const std::string& name) {
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string dir = folders.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool MakeExecutable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | 0111) == 0;
}

} // namespace tw::platform
