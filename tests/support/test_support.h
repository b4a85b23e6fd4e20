#pragma once
// Shared pieces of the tests: temporary folders, small file chores, locating build outputs.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
// Path() ends in '/'.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "tarnwick-test");
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + relative; }

private:
    std::string path_;
};

// A UTF-8 path as the file system takes it (std::filesystem reads a plain string in the ANSI
// code page on Windows), and back.
std::filesystem::path FsPath(const std::string& utf8);
std::string Utf8Of(const std::filesystem::path& path);

// Puts this system's outside helpers into a program folder, where the launcher looks first: on
// Windows the aria2c.exe and 7z.dll built from source (scripts/build-win-helpers); on Linux
// nothing (the system's aria2c and 7z.so are found without).
void PlaceHelpers(const std::string& programFolder);

// The bytes of a program this system runs, for a game client's program: a shell script on
// Linux, a real Windows program (the built aria2c.exe) on Windows, which tells programs by content.
std::string ProgramBytes();

// Writes bytes, creating missing parent folders. Aborts the test on failure.
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// A file of `size` bytes filled with a repeatable pattern.
void WritePatternFile(const std::string& path, std::uint64_t size);
bool Exists(const std::string& path);
// Runs a shell command; returns its exit status.
int Shell(const std::string& command);
// Output of a shell command (stdout).
std::string ShellOutput(const std::string& command);
// The MD5 of a file as md5sum prints it, upper-cased.
std::string ToolMd5(const std::string& path);

// Polls `done` every `step` until it is true or `timeout` has passed; true when it became true.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));

// True while something accepts connections on 127.0.0.1:`port`.
bool PortBusy(int port);

// Sets (or, with nullptr, unsets) an environment variable for the object's life.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const char* value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Build and source folders, from the environment CTest sets.
std::string BuildDir();
std::string SourceDir();

// The build folder of the Linux programs the tests run (the reference service): BuildDir() on
// Linux; under Wine the Linux build beside the Windows one (TARNWICK_HOST_BUILD_DIR overrides).
std::string HostBuildDir();
// `path` as those Linux programs name it: itself on Linux, the Unix name of a Windows path under
// Wine. Raises where there is no Unix side.
std::string HostPath(const std::string& path);
// What the reference service's command line needs on this platform (under Wine: idle
// connections closed after a second, or each stop would wait for WinHTTP's pooled ones).
std::vector<std::string> PlatformServiceArgs();
// Mounts a small file system of `size` (e.g. "64k") on the existing folder `folder`, in a mount
// namespace of this process alone (its children inherit it): "" once mounted, else why not (then
// the caller skips). Linux only; Wine has no such thing. Unmount before the folder goes.
std::string MountSmallFileSystem(const std::string& folder, const std::string& size);
void UnmountSmallFileSystem(const std::string& folder);

// A new folder on another file system than `near`'s (Linux: shared memory), for moves that must
// copy; "" where there is none. The caller removes it.
std::string OtherFileSystemFolder(const std::string& near);

// A lock that every test run on this machine takes by `name`, Linux and Wine runs alike (a
// fixed port, say), held for the object's life.
class MachineLock {
public:
    explicit MachineLock(const std::string& name);
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;
    ~MachineLock();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Holds a file open as a program that shares nothing would (no reading, writing, renaming or
// deleting by others) for the object's life. Linux has no such sharing rule: Held() is false there.
class HeldFile {
public:
    explicit HeldFile(const std::string& path);
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile();
    bool Held() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// A drive letter standing for `folder` for the object's life, Path() its root ("T:\\"); Linux
// has no drive letters: Mapped() is false there.
class DriveRoot {
public:
    explicit DriveRoot(const std::string& folder);
    DriveRoot(const DriveRoot&) = delete;
    DriveRoot& operator=(const DriveRoot&) = delete;
    ~DriveRoot();
    bool Mapped() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_, link_;
};

// Renames `from` to `to`, replacing it in one step. Aborts the test on failure.
void ReplaceWith(const std::string& from, const std::string& to);

// Runs a Linux program (args[0] and all paths as the host names them) to its end; its exit
// code, -1 when it was killed or did not end within `limit`.
int RunHost(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(120));

// A Linux program (args[0], host paths) run as a process of its own, its standard output going
// to `outputFile`. Under Wine it is started through Wine and ended when the test process ends,
// however that happens.
class HostProcess {
public:
    HostProcess(const std::vector<std::string>& args, const std::string& outputFile);
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    ~HostProcess();
    // False once the program has ended.
    bool Running();
    // Ends it (SIGTERM; SIGKILL when it is still there after 5 s) and gives how it ended: a wait
    // status, or -1 when it had to be killed. Again after the end: the same status.
    int Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tw::test
