#include "platform/process.h"

#include "platform/win32_util.h"

#include <tlhelp32.h>

#include <cerrno>
#include <cstdint>
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

// Reading another process's current folder: it lives in the process parameters its environment
// block points to, so it is read from the process's memory. The query that finds that block is
// ntdll's own, looked up by name.
using QueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;

struct BasicInformation {
    LONG exitStatus;
    void* pebAddress;
    ULONG_PTR affinityMask;
    LONG basePriority;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR inheritedFromUniqueProcessId;
};

QueryInformationProcessFn QueryInformationProcess() {
    static const auto fn = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<QueryInformationProcessFn>(
                           reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")))
                     : nullptr;
    }();
    return fn;
}

bool ReadExactly(HANDLE process, std::uint64_t address, void* to, std::size_t size) {
    if (address == 0 || address > UINTPTR_MAX - size)
        return false;
    SIZE_T read = 0;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), to, size,
                             &read) &&
           read == size;
}

// A pointer of the target's layout (4 or 8 bytes) at `address`.
bool ReadPointer(HANDLE process, std::uint64_t address, bool wide, std::uint64_t& value) {
    if (wide)
        return ReadExactly(process, address, &value, sizeof value);
    std::uint32_t narrow = 0;
    if (!ReadExactly(process, address, &narrow, sizeof narrow))
        return false;
    value = narrow;
    return true;
}

// CurrentDirectory.DosPath from the environment block at `peb`, in the 32-bit layout or the
// 64-bit one (`wide`). Empty when anything looks wrong.
std::wstring CurrentFolderAt(HANDLE process, std::uint64_t peb, bool wide) {
    std::uint64_t parameters = 0;
    if (!ReadPointer(process, peb + (wide ? 0x20 : 0x10), wide, parameters))
        return {};
    const std::uint64_t dosPath = parameters + (wide ? 0x38 : 0x24);
    std::uint16_t length = 0; // in bytes
    std::uint64_t buffer = 0;
    if (!ReadExactly(process, dosPath, &length, sizeof length) ||
        !ReadPointer(process, dosPath + (wide ? 8 : 4), wide, buffer))
        return {};
    if (length == 0 || length % 2 != 0 || length / 2 > 32767)
        return {};
    std::wstring folder(std::size_t{length} / 2, L'\0');
    if (!ReadExactly(process, buffer, folder.data(), length))
        return {};
    return folder;
}

// The current folder of a process opened for query and memory reading, without the trailing
// backslash the system keeps (a drive root such as "C:\\" keeps it); empty when not to be had.
std::string CurrentFolderOf(HANDLE process) {
    const auto query = QueryInformationProcess();
    if (!query)
        return {};
    std::wstring folder;
    ULONG_PTR peb32 = 0;
    if (query(process, kProcessWow64Information, &peb32, sizeof peb32, nullptr) >= 0 && peb32 != 0) {
        folder = CurrentFolderAt(process, peb32, false);
    } else {
        BOOL weAreWow64 = FALSE;
        // A 64-bit process seen from a 32-bit one: its addresses are out of our reach.
        if (sizeof(void*) == 4 && IsWow64Process(GetCurrentProcess(), &weAreWow64) && weAreWow64)
            return {};
        BasicInformation basic{};
        if (query(process, kProcessBasicInformation, &basic, sizeof basic, nullptr) < 0)
            return {};
        folder = CurrentFolderAt(process, reinterpret_cast<std::uintptr_t>(basic.pebAddress), sizeof(void*) == 8);
    }
    while (folder.size() > 1 && folder.back() == L'\\' && !(folder.size() == 3 && folder[1] == L':'))
        folder.pop_back();
    return Narrow(folder);
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
        // The current folder needs the right to read the process's memory; without it, only
        // the start time is read.
        if (Handle full(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID)); full) {
            info.startTime = CreationTime(full.get());
            info.workFolder = CurrentFolderOf(full.get());
        } else if (Handle limited(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
                   limited) {
            info.startTime = CreationTime(limited.get());
        }
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
