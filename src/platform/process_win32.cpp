#include "platform/process.h"

#include "platform/win32_util.h"

#include <tlhelp32.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace tw::platform {

using win32::Handle;
using win32::Narrow;
using win32::Wide;

ProcessId CurrentProcessId() {
    return static_cast<ProcessId>(GetCurrentProcessId());
}

namespace {

// One argument quoted so that the child's command-line parser gives it back unchanged.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (auto it = arg.begin();; ++it) {
        std::size_t slashes = 0;
        while (it != arg.end() && *it == L'\\') {
            ++it;
            ++slashes;
        }
        if (it == arg.end()) {
            // Backslashes before the closing quote are doubled, or they would escape it.
            line.append(slashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            line.append(slashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(slashes, L'\\');
            line += *it;
        }
    }
    line += L'"';
}

// When the process was created, in the system's file-time units; 0 when it cannot be read.
std::uint64_t CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Starts the program; `held` (when given) receives the process handle.
ProcessId Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& workFolder,
                HANDLE* held) {
    std::wstring line;
    AppendQuoted(line, Wide(program));
    for (const auto& a : args) {
        line += L' ';
        AppendQuoted(line, Wide(a));
    }
    const std::wstring folder = Wide(workFolder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // No handle of ours is inherited. A console program gets a console of its own that nobody
    // sees (its output goes nowhere); a process group of its own keeps our Ctrl+C from it.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
    if (!CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        win32::Fail();
        return -1;
    }
    CloseHandle(info.hThread);
    if (held)
        *held = info.hProcess;
    else
        CloseHandle(info.hProcess);
    return static_cast<ProcessId>(info.dwProcessId);
}

struct WindowSearch {
    DWORD pid;
    bool posted;
};

BOOL CALLBACK PostCloseIfOwned(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == s->pid && PostMessageW(window, WM_CLOSE, 0, 0))
        s->posted = true;
    return TRUE;
}

// Posts WM_CLOSE to every top-level window of the process; false when it has none.
bool CloseWindowsOf(DWORD pid) {
    WindowSearch search{pid, false};
    EnumWindows(PostCloseIfOwned, reinterpret_cast<LPARAM>(&search));
    return search.posted;
}

bool Ended(HANDLE process) {
    return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
}

} // namespace

ProcessId SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                        const std::string& workFolder) {
    return Spawn(program, args, workFolder, nullptr);
}

ChildProcess SpawnHeld(const std::string& program, const std::vector<std::string>& args,
                       const std::string& workFolder) {
    HANDLE handle = nullptr;
    ProcessId pid = Spawn(program, args, workFolder, &handle);
    return pid > 0 ? ChildProcess(pid, handle) : ChildProcess();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), handle_(other.handle_) {
    other.pid_ = -1;
    other.handle_ = kNoProcessHandle;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (handle_)
            CloseHandle(handle_);
        pid_ = other.pid_;
        handle_ = other.handle_;
        other.pid_ = -1;
        other.handle_ = kNoProcessHandle;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (handle_)
        CloseHandle(handle_);
}

bool ChildProcess::Alive() const {
    return pid_ > 0 && handle_ && !Ended(handle_);
}

bool ChildProcess::WaitEnded(std::chrono::milliseconds timeout) const {
    if (!Alive())
        return true;
    const auto ms = timeout.count() <= 0 ? 0 : timeout.count() >= 0x7FFFFFFF ? 0x7FFFFFFF : timeout.count();
    return WaitForSingleObject(handle_, static_cast<DWORD>(ms)) != WAIT_TIMEOUT;
}

bool ChildProcess::AskToEnd() const {
    return Alive() && CloseWindowsOf(static_cast<DWORD>(pid_));
}

bool ChildProcess::Kill() const {
    return Alive() && ::TerminateProcess(handle_, 1);
}

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> result;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return result;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        ProcessInfo info;
        info.pid = static_cast<ProcessId>(entry.th32ProcessID);
        info.exeName = Narrow(entry.szExeFile);
        // Another process's current folder is not to be had without reading its memory.
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (process)
            info.startTime = CreationTime(process.get());
        result.push_back(std::move(info));
    }
    return result;
}

bool TerminateProcess(ProcessId pid) {
    if (pid <= 0)
        return false;
    Handle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
    return process && ::TerminateProcess(process.get(), 1);
}

bool TerminateProcess(const ProcessInfo& process, bool askFirst) {
    if (process.pid <= 0)
        return false;
    // Hold the process first, then make sure it is the one that was listed: while the handle is
    // open its number cannot pass to another process.
    Handle h(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                         static_cast<DWORD>(process.pid)));
    if (!h || Ended(h.get()) || CreationTime(h.get()) != process.startTime)
        return false;
    if (askFirst)
        return CloseWindowsOf(static_cast<DWORD>(process.pid));
    return ::TerminateProcess(h.get(), 1) != 0;
}

bool ProcessAlive(ProcessId pid) {
    if (pid <= 0)
        return false;
    Handle h(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    return h && !Ended(h.get());
}

namespace {

bool HasExtension(const std::string& name) {
    const auto slash = name.find_last_of("\\/");
    const auto dot = name.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool IsRegularFile(const std::string& path) {
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::string FindOnPath(const std::string& name) {
    if (name.empty())
        return {};
    // Without an extension, the extensions the system runs are tried in turn.
    std::vector<std::string> names{name};
    if (!HasExtension(name))
        names = {name + ".exe", name + ".com", name};
    if (name.find_first_of("\\/:") != std::string::npos) {
        for (const auto& n : names)
            if (IsRegularFile(n))
                return n;
        return {};
    }
    const wchar_t* path = _wgetenv(L"PATH");
    const std::string folders = path ? Narrow(path) : std::string();
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(';', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string dir = folders.substr(start, end - start);
        if (!dir.empty()) {
            if (dir.back() != '\\' && dir.back() != '/')
                dir += '\\';
            for (const auto& n : names)
                if (IsRegularFile(dir + n))
                    return dir + n;
        }
        start = end + 1;
    }
    return {};
}

bool IsExecutableFile(const std::string& path) {
    DWORD type = 0;
    return IsRegularFile(path) && GetBinaryTypeW(Wide(path).c_str(), &type);
}

bool MakeExecutable(const std::string& path) {
    // Windows runs a file by what it holds; there is no mark to set.
    if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES)
        return win32::Fail();
    return true;
}

} // namespace tw::platform
