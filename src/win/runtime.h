#pragma once
// Finding the WebView2 runtime: a fixed-version runtime in the program folder's Bin\, else the
// one installed on the system. The SDK's loader, WebView2Loader.dll beside the program, is loaded
// at run time (its static library is for another compiler).
#include <windows.h>
#include <WebView2.h>

#include "win/com.h"

#include <string>

namespace tw::win {

using CreateEnvironmentFn = HRESULT(STDAPICALLTYPE*)(PCWSTR, PCWSTR, ICoreWebView2EnvironmentOptions*,
                                                     ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);
using GetVersionFn = HRESULT(STDAPICALLTYPE*)(PCWSTR, LPWSTR*);

struct TRuntime {
    bool loaderFound = false;              // WebView2Loader.dll loaded, its functions found
    CreateEnvironmentFn create = nullptr;
    std::wstring browserFolder;            // the fixed-version runtime's folder, or empty: installed
    std::wstring version;                  // the runtime's version; empty: no runtime
};

// `programFolder` with its trailing backslash.
TRuntime FindRuntime(const std::wstring& programFolder);
// The error box's text when FindRuntime found nothing to run pages with.
std::wstring MissingRuntimeText(const TRuntime& runtime);

// "Windows NT 10.0", with "; WOW64" for a 32-bit process on 64-bit Windows.
std::string OsPartOfUserAgent();

// A file: URL for a local path (percent-encoded as a URL must be).
std::wstring FileUrl(const std::wstring& path);

// The engine's options: language and switches (WebView2's own options class needs WRL).
class TEnvironmentOptions final : public TUnknown<ICoreWebView2EnvironmentOptions> {
public:
    TEnvironmentOptions(std::wstring arguments, std::wstring language, std::wstring targetVersion);
    HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_Language(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL value) override;

private:
    std::wstring arguments_, language_, target_;
};

} // namespace tw::win
