#pragma once
// Processes of one operating system: starting, listing and ending them.
#include <string>
#include <vector>

namespace tw::platform {

using ProcessId = long;

ProcessId CurrentProcessId();

// Starts `program` with `args` (argv[1..]) in a session of its own, in the current folder unless
// `workFolder` is given, with the standard streams on /dev/null. The child is reaped in the
// background; the caller never waits. Returns the process id, or -1 with errno set.
ProcessId SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workFolder = {});

// A running process as the system lists it.
struct ProcessInfo {
    ProcessId pid = 0;
    std::string exeName;    // file name of its executable image (may be empty when hidden from us)
    std::string workFolder; // its current folder, when readable
};
std::vector<ProcessInfo> ListProcesses();

// Ends a process at once (the Windows TerminateProcess). False when it could not be signalled.
bool TerminateProcess(ProcessId pid);

// True while the process exists (and is not a zombie).
bool ProcessAlive(ProcessId pid);

// Full path of `name` found in the folders of PATH, or empty.
std::string FindOnPath(const std::string& name);

// True when the file can be run directly by the system.
bool IsExecutableFile(const std::string& path);
// Marks a file as executable (no-op where the system has no such mark).
bool MakeExecutable(const std::string& path);

} // namespace tw::platform
