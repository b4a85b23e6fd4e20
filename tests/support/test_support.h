#pragma once
// Shared pieces of the tests: temporary folders, small file chores, locating build outputs.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

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

} // namespace tw::test
