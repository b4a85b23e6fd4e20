#pragma once
// Processes of one operating system: starting, listing and ending them.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tw::platform {

using ProcessId = long;

// What holds a started process: a pidfd on Linux (-1: none), a process handle on Windows (null).
#ifdef _WIN32
using ProcessHandle = void*;
inline constexpr ProcessHandle kNoProcessHandle = nullptr;
#else
using ProcessHandle = int;
inline constexpr ProcessHandle kNoProcessHandle = -1;
#endif

ProcessId CurrentProcessId();

// Starts `program` with `args` (argv[1..]) in a session of its own, in the current folder unless
// `workFolder` is given, with the standard streams on /dev/null. The child is reaped in the
// background; the caller never waits. Returns the process id, or -1 with errno set.
ProcessId SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workFolder = {});

// A process this program started, held through a handle to that very process (a pidfd on
// Linux), so that a signal can never reach a later process that was given the same number. The
// process is reaped in the background as with SpawnDetached; dropping the handle does not end it.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ProcessId pid, ProcessHandle handle) : pid_(pid), handle_(handle) {}
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool Started() const { return pid_ > 0; }
    ProcessId Pid() const { return pid_; }
    // True until the process has ended.
    bool Alive() const;
    // Asks the process to end (SIGTERM; on Windows WM_CLOSE to its windows, and false when it has
    // none); it may save its work first. False once it has ended.
    bool AskToEnd() const;
    // Ends it at once (SIGKILL). False once it has ended.
    bool Kill() const;
    // Waits up to `timeout` for the end; true when it has ended.
    bool WaitEnded(std::chrono::milliseconds timeout) const;

private:
    bool Send(int signal) const;
    ProcessId pid_ = -1;
    ProcessHandle handle_ = kNoProcessHandle;
};

// SpawnDetached, and the process is held. Not Started() (errno set) when it cannot be started.
ChildProcess SpawnHeld(const std::string& program, const std::vector<std::string>& args,
                       const std::string& workFolder = {});

// A running process as the system lists it.
struct ProcessInfo {
    ProcessId pid = 0;
    std::uint64_t startTime = 0; // with the pid, tells this process from a later one of that number
    std::string exeName;         // file name of its executable image (may be empty when hidden from us)
    std::string workFolder;      // its current folder, when readable
};
std::vector<ProcessInfo> ListProcesses();

// Ends a process at once (the Windows TerminateProcess). False when it could not be signalled.
bool TerminateProcess(ProcessId pid);
// The same for a listed process, and only while it is still the one listed (not a later process
// that was given its number meanwhile). `askFirst` sends SIGTERM instead, so it may save its work.
bool TerminateProcess(const ProcessInfo& process, bool askFirst = false);

// True while the process exists (and is not a zombie).
bool ProcessAlive(ProcessId pid);

// Full path of `name` found in the folders of PATH, or empty.
std::string FindOnPath(const std::string& name);

// True when the file can be run directly by the system.
bool IsExecutableFile(const std::string& path);
// Marks a file as executable (no-op where the system has no such mark).
bool MakeExecutable(const std::string& path);

} // namespace tw::platform
