#pragma once
// TMainWindow: the launcher's only window on Windows. A frame of class "UIFrameEx" hosting the
// page in a WebView2 controller; the decisions are the shell core's (shell/), the page bridge is
// TWebViewBridge. Main thread only, but for the workers' seam (IMainForm).
#include <windows.h>
// IMainForm::PostMessage, not the Win32 macro of that name.
#undef PostMessage

#include "base/mainform.h"
#include "bridge/pageCalls.h"
#include "shell/shellCore.h"
#include "win/com.h"
#include "win/runtime.h"
#include "win/webviewBridge.h"

#include <atomic>
#include <deque>
#include <memory>

#include <string>

namespace tw::win {

inline constexpr UINT kMsgSynchronize = WM_APP + 1;

class TMainWindow : public IMainForm {
public:
    // `programFolder` with its trailing backslash.
    TMainWindow(TRuntime runtime, std::wstring programFolder, std::string signingKey);
    ~TMainWindow() override;

    // Creates and shows the window and asks the engine for the browser. False: no window.
    bool Create(HINSTANCE instance);
    HWND Handle() const { return window_; }

    void Synchronize(const std::function<void()>& fn) override;
    void PostMessage(int message) override;
    void lbl_Msg() override;
    void lbl_Start_Game() override;
    void lbl_Down_Addon() override;
    void lbl_Addon_End() override;
    void LoadURL(const std::string& url) override;

    // The destroy step, once, after the message loop.
    void FormDestroy();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    void CreateBrowser();
    HRESULT OnController(HRESULT result, ICoreWebView2Controller* controller);
    void Fail(const std::wstring& text);
    void Dispatched(const PageMessage& message);
    void OnNavigationCompleted(ICoreWebView2NavigationCompletedEventArgs* args);
    void CloseBrowser();
    void Notice(TPageNotices::Kind kind, const std::string& script);
    void Box(const std::string& text);

    TRuntime runtime_;
    std::wstring programFolder_;
    std::string signingKey_;
    HWND window_ = nullptr;
    TPageCalls calls_;
    TWebViewBridge bridge_;
    TPageNotices notices_;
    TCloseHandshake close_;
    TComPtr<ICoreWebView2Environment> environment_;
    TComPtr<ICoreWebView2Controller> controller_;
    TComPtr<ICoreWebView2> webview_;
    std::deque<DispatchResult> commands_; // page commands posted, with their values
    bool updateStarted_ = false;
    bool loadErrorShown_ = false;
    std::atomic<bool> destroyed_{false};
};

} // namespace tw::win
