// The parts of the tests' support that use the system: temporary folders, the shell and its
// tools, sockets and the environment (Windows).
#include "test_support.h"

#include "platform/fs.h"

#include <windows.h>
#include <winsock2.h>

#include <wincrypt.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

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

} // namespace tw::test
