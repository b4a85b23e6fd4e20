#include "win/runtime.h"

#include "win/com.h"

#include <cstdio>
#include <cstring>

namespace tw::win {

namespace {

HRESULT Copy(const std::wstring& s, LPWSTR* out) {
    if (!out)
        return E_POINTER;
    const std::size_t bytes = (s.size() + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*out)
        return E_OUTOFMEMORY;
    std::memcpy(*out, s.c_str(), bytes);
    return S_OK;
}

bool IsFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

TRuntime FindRuntime(const std::wstring& programFolder) {
    TRuntime r;
    // Only the program folder's copy: never one found along the search path.
    HMODULE loader = LoadLibraryExW((programFolder + L"WebView2Loader.dll").c_str(), nullptr,
                                    LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!loader)
        return r;
    r.create = reinterpret_cast<CreateEnvironmentFn>(
        reinterpret_cast<void*>(GetProcAddress(loader, "CreateCoreWebView2EnvironmentWithOptions")));
    auto version = reinterpret_cast<GetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(loader, "GetAvailableCoreWebView2BrowserVersionString")));
    r.loaderFound = r.create && version;
    if (!r.loaderFound)
        return r;
    const std::wstring fixed = programFolder + L"Bin";
    for (const std::wstring& folder : {fixed, std::wstring()}) {
        if (!folder.empty() && !IsFile(folder + L"\\msedgewebview2.exe"))
            continue;
        LPWSTR v = nullptr;
        if (SUCCEEDED(version(folder.empty() ? nullptr : folder.c_str(), &v)) && v) {
            r.version = TakeString(v);
            // A preview channel's version carries its name after a blank ("… beta").
            r.version = r.version.substr(0, r.version.find(L' '));
            r.browserFolder = folder;
            return r;
        }
        TakeString(v);
    }
    return r;
}

std::wstring MissingRuntimeText(const TRuntime& runtime) {
    if (!runtime.loaderFound)
        return L"缺少运行时文件：程序目录中没有可用的 WebView2Loader.dll。\n\n请重新安装登录器。";
    return L"缺少运行时文件：未找到 Microsoft Edge WebView2 运行时。\n\n"
           L"请安装 Microsoft Edge WebView2 运行时（常青版，可从微软官网 "
           L"https://developer.microsoft.com/microsoft-edge/webview2/ 下载），"
           L"或将固定版本的 WebView2 运行时放入程序目录的 Bin 文件夹，然后重新运行登录器。";
}

std::string OsPartOfUserAgent() {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    auto rtl = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!rtl || rtl(&v) != 0)
        v.dwMajorVersion = v.dwMinorVersion = 0;
    char text[64];
    std::snprintf(text, sizeof text, "%s %lu.%lu", v.dwMajorVersion > 3 ? "Windows NT" : "Windows",
                  static_cast<unsigned long>(v.dwMajorVersion), static_cast<unsigned long>(v.dwMinorVersion));
    std::string os = text;
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
        os += "; WOW64";
    return os;
}

std::wstring FileUrl(const std::wstring& path) {
    std::wstring url = L"file:///";
    const int n = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), utf8.data(), n, nullptr, nullptr);
    for (unsigned char c : utf8) {
        if (c == '\\')
            url += L'/';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::wstring(L"-._~/:").find(static_cast<wchar_t>(c)) != std::wstring::npos)
            url += static_cast<wchar_t>(c);
        else {
            wchar_t hex[4];
            std::swprintf(hex, 4, L"%%%02X", c);
            url += hex;
        }
    }
    return url;
}

TEnvironmentOptions::TEnvironmentOptions(std::wstring arguments, std::wstring language, std::wstring targetVersion)
    : TUnknown(IID_ICoreWebView2EnvironmentOptions), arguments_(std::move(arguments)), language_(std::move(language)),
      target_(std::move(targetVersion)) {}

HRESULT TEnvironmentOptions::get_AdditionalBrowserArguments(LPWSTR* value) {
    return Copy(arguments_, value);
}
HRESULT TEnvironmentOptions::put_AdditionalBrowserArguments(LPCWSTR value) {
    arguments_ = value ? value : L"";
    return S_OK;
}
HRESULT TEnvironmentOptions::get_Language(LPWSTR* value) {
    return Copy(language_, value);
}
HRESULT TEnvironmentOptions::put_Language(LPCWSTR value) {
    language_ = value ? value : L"";
    return S_OK;
}
HRESULT TEnvironmentOptions::get_TargetCompatibleBrowserVersion(LPWSTR* value) {
    return Copy(target_, value);
}
HRESULT TEnvironmentOptions::put_TargetCompatibleBrowserVersion(LPCWSTR value) {
    target_ = value ? value : L"";
    return S_OK;
}
HRESULT TEnvironmentOptions::get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* value) {
    if (!value)
        return E_POINTER;
    *value = FALSE;
    return S_OK;
}
HRESULT TEnvironmentOptions::put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL) {
    return S_OK;
}

} // namespace tw::win
