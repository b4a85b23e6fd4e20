#include "platform/shell.h"

#include "platform/win32_util.h"

#include <shellapi.h>

namespace tw::platform {

void OpenWithDesktop(const std::string& target) {
    ShellExecuteW(nullptr, nullptr, win32::Wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

unsigned AnsiCodePage() {
    return GetACP();
}

std::string AnsiCodePageName() {
    return "CP" + std::to_string(AnsiCodePage());
}

namespace {

std::wstring ToWide(const std::string& bytes, unsigned codePage, DWORD flags, bool& ok) {
    ok = true;
    if (bytes.empty())
        return {};
    const int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) {
        ok = false;
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
    return wide;
}

std::string FromWide(const std::wstring& wide, unsigned codePage) {
    if (wide.empty())
        return {};
    // A character the code page lacks becomes '?'; UTF-8 takes no default character, also when it
    // is the system's ANSI code page.
    if (codePage == CP_ACP)
        codePage = GetACP();
    const bool utf8 = codePage == CP_UTF8;
    const char* fallback = utf8 ? nullptr : "?";
    const int n =
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, fallback, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, fallback, nullptr);
    return out;
}

} // namespace

bool DecodeCodePage(const std::string& bytes, unsigned codePage, std::string& utf8) {
    utf8.clear();
    if (bytes.empty())
        return true;
    CPINFO info;
    if (!GetCPInfo(codePage, &info))
        return false;
    bool ok = false;
    const std::wstring wide = ToWide(bytes, codePage, MB_ERR_INVALID_CHARS, ok);
    if (!ok)
        return false;
    utf8 = FromWide(wide, CP_UTF8);
    return true;
}

std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage) {
    bool ok = false;
    // Invalid UTF-8 comes out as U+FFFD, which most code pages lack: '?'.
    return FromWide(ToWide(utf8, CP_UTF8, 0, ok), codePage);
}

std::string Utf8ToAnsi(const std::string& utf8) {
    return Utf8ToCodePage(utf8, CP_ACP);
}

std::string AnsiToUtf8(const std::string& ansi) {
    bool ok = false;
    return FromWide(ToWide(ansi, CP_ACP, 0, ok), CP_UTF8);
}


} // namespace tw::platform
