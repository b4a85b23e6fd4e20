// The parts of the tests' support that use the system: temporary folders, the shell and its
// tools, sockets and the environment (Windows).
#include "test_support.h"

#include "platform/fs.h"

#include <windows.h>
#include <winsock2.h>

#include <wincrypt.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace tw::test {

namespace {

std::wstring Wide(const std::string& s) {
    std::wstring out(s.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return out;
}

std::string Narrow(const std::wstring& s) {
    std::string out(s.size() * 3 + 1, '\0');
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return out;
}

} // namespace

TempFolder::TempFolder(const std::string& prefix) {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH)
        throw std::runtime_error("no temporary folder");
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = Narrow(base) + prefix + "-" + std::to_string(rd() % 100000000u);
        if (CreateDirectoryW(Wide(candidate).c_str(), nullptr)) {
            path_ = candidate + "\\";
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder under " + Narrow(base));
}

TempFolder::~TempFolder() {
    // RemoveTree clears read-only marks on its way.
    platform::RemoveTree(path_);
}

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

std::string ShellOutput(const std::string& command) {
    std::string out;
    FILE* p = ::_popen(command.c_str(), "rb");
    if (!p)
        return out;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), p))
        out.append(buffer.data(), n);
    ::_pclose(p);
    return out;
}

// The digest from the older CryptoAPI, a different implementation than the one under test.
std::string ToolMd5(const std::string& path) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return {};
    HCRYPTHASH hash = 0;
    std::string hex;
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE && CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        std::array<BYTE, 65536> buffer{};
        DWORD n = 0;
        bool ok = true;
        while (ok && ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n > 0)
            ok = CryptHashData(hash, buffer.data(), n, 0);
        BYTE digest[16];
        DWORD size = sizeof digest;
        if (ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            for (DWORD i = 0; i < size; ++i) {
                hex += kDigits[digest[i] >> 4];
                hex += kDigits[digest[i] & 0x0F];
            }
        }
        CryptDestroyHash(hash);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CryptReleaseContext(provider, 0);
    return hex;
}

bool PortBusy(int port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool busy = s != INVALID_SOCKET && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (s != INVALID_SOCKET)
        ::closesocket(s);
    WSACleanup();
    return busy;
}

// An empty value removes the variable here: Windows keeps no empty variables.
ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    ::_putenv_s(name_.c_str(), value ? value : "");
}

ScopedEnv::~ScopedEnv() {
    ::_putenv_s(name_.c_str(), had_ ? old_.c_str() : "");
}

namespace {

// Wine's own conversions between Windows and Unix file names; missing on Windows itself.
std::string UnixName(const std::string& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix)
        throw std::runtime_error("the Linux programs of the tests run only under Wine");
    char* name = toUnix(Wide(path).c_str());
    if (!name)
        throw std::runtime_error("no Unix name for " + path);
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

std::wstring DosName(const std::string& unixPath) {
    using ToDos = wchar_t*(CDECL*)(const char*);
    const auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos)
        throw std::runtime_error("the Linux programs of the tests run only under Wine");
    wchar_t* name = toDos(unixPath.c_str());
    if (!name)
        throw std::runtime_error("no Windows name for " + unixPath);
    std::wstring out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// A word for the shell, quoted so that nothing in it is special.
std::string ShellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

std::string HostBuildDir() {
    const char* v = std::getenv("TARNWICK_HOST_BUILD_DIR");
    return v && *v ? v : TARNWICK_TEST_HOST_BUILD_DIR;
}

std::string HostPath(const std::string& path) {
    return UnixName(path);
}

// Wine's WinHTTP keeps idle connections in a pool of the whole process after their client has
// gone, and a stopping service waits up to 3 s for open connections.
std::vector<std::string> PlatformServiceArgs() {
    return {"--idle-timeout", "1"};
}

// Wine has no share of Linux's file locks, so a Linux flock holds the lock for this process: it
// runs until the watching connection closes, and its shell leaves once flock has gone.
struct MachineLock::State {
    TempFolder work{"tarnwick-lock"};
    std::unique_ptr<HostProcess> holder;
};

MachineLock::MachineLock(const std::string& name) : state_(std::make_unique<State>()) {
    const std::string held = state_->work / "held";
    state_->holder = std::make_unique<HostProcess>(
        std::vector<std::string>{"/usr/bin/flock", "-o", "/tmp/" + name + ".lock", "/bin/sh", "-c",
                                 "echo held >" + ShellQuoted(HostPath(held)) +
                                     "; while kill -0 $PPID 2>/dev/null; do sleep 1; done"},
        state_->work / "out");
    // Bounded only against a broken start: a lock may be held by a long run elsewhere.
    WaitUntil([&] { return Exists(held) || !state_->holder->Running(); }, std::chrono::minutes(60),
              std::chrono::milliseconds(50));
}

MachineLock::~MachineLock() = default;

std::string MountSmallFileSystem(const std::string&, const std::string&) {
    return "no small file system can be mounted under Wine";
}

void UnmountSmallFileSystem(const std::string&) {}

// Wine's drives all lie on the one Unix file system of the prefix here.
std::string OtherFileSystemFolder(const std::string&) {
    return {};
}

// Wine's drives are links in the prefix's dosdevices folder, read on every use.
DriveRoot::DriveRoot(const std::string& folder) {
    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix || !*prefix)
        return;
    for (char letter = 'T'; letter < 'Z'; ++letter) {
        const std::string drive(1, letter);
        if (GetDriveTypeW(Wide(drive + ":\\").c_str()) != DRIVE_NO_ROOT_DIR)
            continue;
        const std::string link = std::string(prefix) + "/dosdevices/" + static_cast<char>(letter - 'A' + 'a') + ":";
        if (RunHost({"/bin/ln", "-s", HostPath(folder), link}) == 0) {
            link_ = link;
            path_ = drive + ":\\";
        }
        return;
    }
}

DriveRoot::~DriveRoot() {
    if (!link_.empty())
        RunHost({"/bin/rm", "-f", link_});
}

HeldFile::HeldFile(const std::string& path) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        handle_ = h;
}

HeldFile::~HeldFile() {
    if (handle_)
        CloseHandle(handle_);
}

std::string ProgramBytes() {
    return ReadBytes(Narrow(DosName(TARNWICK_TEST_WIN_HELPERS_DIR)) + "\\aria2c.exe");
}

void PlaceHelpers(const std::string& programFolder) {
    const std::wstring from = DosName(TARNWICK_TEST_WIN_HELPERS_DIR);
    std::wstring to = Wide(programFolder);
    if (!to.empty() && to.back() != L'\\' && to.back() != L'/')
        to += L'\\';
    for (const wchar_t* name : {L"aria2c.exe", L"7z.dll"}) {
        const std::wstring source = from + L"\\" + name;
        if (!CopyFileW(source.c_str(), (to + name).c_str(), FALSE))
            throw std::runtime_error("cannot copy " + Narrow(source) + " into " + programFolder +
                                     " (scripts/build-win-helpers makes it): error " + std::to_string(GetLastError()));
    }
}

void ReplaceWith(const std::string& from, const std::string& to) {
    if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        throw std::runtime_error("cannot rename " + from + " to " + to);
}

// Wine starts a Linux program through CreateProcessW but hands back no process handle, so bash
// runs it and watches a loopback connection to this process: when that closes (Stop(), or this
// process ended in any way) it ends the program, and it writes the program's exit status to a
// file when it has gone.
struct HostProcess::State {
    SOCKET watch = INVALID_SOCKET;
    std::string endFile;
    bool ended = false;
    int status = 0;
};

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& outputFile)
    : state_(std::make_unique<State>()) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("no Winsock");
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof addr;
    if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        if (listener != INVALID_SOCKET)
            ::closesocket(listener);
        throw std::runtime_error("no loopback socket to watch " + args.at(0));
    }

    state_->endFile = outputFile + ".status";
    const std::string hostEnd = HostPath(state_->endFile);
    std::string command;
    for (const auto& a : args)
        command += (command.empty() ? "" : " ") + ShellQuoted(a);
    const std::string watchPort = std::to_string(ntohs(addr.sin_port));
    std::string script;
    // Off the test's own output: CTest waits for every holder of that pipe to close it.
    script += "exec </dev/null >/dev/null 2>&1\n";
    script += "PATH=/usr/bin:/bin\n";
    script += "exec 3<>/dev/tcp/127.0.0.1/" + watchPort + " || exit 1\n";
    script += command + " >" + ShellQuoted(HostPath(outputFile)) + " 2>" + ShellQuoted(HostPath(outputFile + ".err")) +
              " 3>&- &\n";
    script += "program=$!\n";
    script += "{ read -r -u 3 _; kill -TERM $program\n";
    script += "  for i in $(seq 50); do kill -0 $program || exit; sleep 0.1; done; kill -KILL $program; } &\n";
    script += "watcher=$!\n";
    script += "wait $program\n";
    script += "status=$?\n";
    script += "kill $watcher\n";
    script += "echo $status >" + ShellQuoted(hostEnd + ".tmp") + "\n";
    script += "mv " + ShellQuoted(hostEnd + ".tmp") + " " + ShellQuoted(hostEnd) + "\n";
    const std::string scriptFile = outputFile + ".sh";
    {
        std::ofstream out(scriptFile, std::ios::binary | std::ios::trunc);
        out << script;
    }
    std::wstring commandLine = L"bash \"" + Wide(HostPath(scriptFile)) + L"\"";
    const std::wstring bash = DosName("/bin/bash");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(bash.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        ::closesocket(listener);
        throw std::runtime_error("cannot start bash for " + args.at(0) + ": error " + std::to_string(GetLastError()));
    }
    if (info.hProcess)
        CloseHandle(info.hProcess);
    if (info.hThread)
        CloseHandle(info.hThread);

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval limit{30, 0}; // a bound on a broken start, not a timing check
    if (::select(0, &readable, nullptr, nullptr, &limit) == 1)
        state_->watch = ::accept(listener, nullptr, nullptr);
    ::closesocket(listener);
    if (state_->watch == INVALID_SOCKET)
        throw std::runtime_error("bash did not start " + args.at(0));
}

HostProcess::~HostProcess() {
    Stop();
    WSACleanup();
}

bool HostProcess::Running() {
    if (!state_->ended && Exists(state_->endFile)) {
        state_->ended = true;
        std::ifstream in(state_->endFile);
        int code = 0;
        in >> code;
        // bash's 128 + N for a signal N; a wait status as waitpid gives it.
        state_->status = code > 128 ? (code == 128 + 9 ? -1 : code - 128) : code << 8;
    }
    return !state_->ended;
}

int HostProcess::Stop() {
    if (state_->watch != INVALID_SOCKET) {
        ::closesocket(state_->watch);
        state_->watch = INVALID_SOCKET;
        for (int i = 0; i < 1000 && Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Running())
            state_->status = -1;
    }
    return state_->status;
}

} // namespace tw::test
