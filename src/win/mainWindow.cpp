#include "win/mainWindow.h"

#include "shell/shellRules.h"
#include "base/helpers.h"
#include "base/pagetext.h"
#include "net/http.h"
#include "net/signature.h"
#include "platform/win32_util.h"
#include "update/aria2.h"
#include "update/downSpy.h"
#include "win/frameWindow.h"

#include "tarnwick_config.h"

#include <exception>

namespace tw::win {

namespace {

using platform::win32::Narrow;
using platform::win32::Wide;

// Client area at creation, and the outer size the window never goes below (at 96 dpi).
constexpr int kClientWidth = 1050, kClientHeight = 691;
constexpr int kMinWidth = 1024, kMinHeight = 720;
// The oldest runtime with a message channel per frame (which the bridge's trust rests on).
constexpr wchar_t kTargetRuntimeVersion[] = L"101.0.1210.39";

bool IsPageCommand(UINT m) {
    return m == MSG_DOWN_ADDON || m == MSG_START_GAME || m == MSG_CLEAR_CACHE || m == MSG_CLEAR_USER_CACHE ||
           m == MSG_CLEAR_FONTS || m == MSG_OPEN_URL;
}

} // namespace

TMainWindow::TMainWindow(TRuntime runtime, std::wstring programFolder, std::string signingKey)
    : runtime_(std::move(runtime)), programFolder_(std::move(programFolder)), signingKey_(std::move(signingKey)),
      calls_(Narrow(programFolder_), TARNWICK_TRUSTED_ORIGINS, !signingKey_.empty(), /*foldCase=*/true),
      bridge_(calls_, [this](const PageMessage& m) { Dispatched(m); },
              [this](ICoreWebView2ScriptDialogOpeningEventArgs* args) {
                  // The page's own alerts and confirmations, as a plain box; its own prompts
                  // are declined.
                  COREWEBVIEW2_SCRIPT_DIALOG_KIND kind{};
                  LPWSTR text = nullptr;
                  args->get_Kind(&kind);
                  args->get_Message(&text);
                  const std::wstring message = TakeString(text);
                  if (kind == COREWEBVIEW2_SCRIPT_DIALOG_KIND_ALERT) {
                      MessageBoxW(window_, message.c_str(), L"Tarnwick", MB_OK);
                  } else if (kind == COREWEBVIEW2_SCRIPT_DIALOG_KIND_CONFIRM ||
                             kind == COREWEBVIEW2_SCRIPT_DIALOG_KIND_BEFOREUNLOAD) {
                      if (MessageBoxW(window_, message.c_str(), L"Tarnwick", MB_OKCANCEL) == IDOK)
                          args->Accept();
                  }
              }) {}

TMainWindow::~TMainWindow() {
    bridge_.Detach();
    if (window_)
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
}

bool TMainWindow::Create(HINSTANCE instance) {
    if (!RegisterFrameClass(instance, &TMainWindow::WindowProc))
        return false;
    RECT r{0, 0, kClientWidth + 2, kClientHeight + 2}; // the frame's one-pixel ring
    const int width = std::max<int>(r.right, kMinWidth), height = std::max<int>(r.bottom, kMinHeight);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;
    window_ = CreateWindowExW(WS_EX_APPWINDOW, kFrameClassName, L"Tarnwick", FrameStyle(), x, y, width, height,
                              nullptr, nullptr, instance, this);
    if (!window_)
        return false;
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    CreateBrowser();
    return true;
}

void TMainWindow::CreateBrowser() {
    // User data (and with it the disk cache and the site data) under the program folder's
    // launcher\, kept from one run to the next.
    const std::wstring userData = programFolder_ + Wide(platform::kBrowserDataFolder);
    auto* options = new TEnvironmentOptions(
        L"--disable-features=WinUseBrowserSpellChecker --disk-cache-dir=\"" + userData + L"\\cache\"", L"zh-CN",
        kTargetRuntimeVersion);
    TComPtr<ICoreWebView2EnvironmentOptions> owned(options, false);
    const HRESULT hr = runtime_.create(
        runtime_.browserFolder.empty() ? nullptr : runtime_.browserFolder.c_str(), userData.c_str(), options,
        Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
            [this](HRESULT result, ICoreWebView2Environment* environment) -> HRESULT {
                if (FAILED(result) || !environment) {
                    wchar_t code[16];
                    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(result));
                    Fail(L"无法启动 WebView2 运行时（错误 " + std::wstring(code) + L"）。");
                    return S_OK;
                }
                environment_ = TComPtr<ICoreWebView2Environment>(environment, true);
                return environment->CreateCoreWebView2Controller(
                    window_, Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
                                 IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                 [this](HRESULT r, ICoreWebView2Controller* c) { return OnController(r, c); })
                                 .get());
            })
            .get());
    if (FAILED(hr)) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        Fail(L"无法启动 WebView2 运行时（错误 " + std::wstring(code) + L"）。");
    }
}

void TMainWindow::Fail(const std::wstring& text) {
    MessageBoxW(window_, text.c_str(), L"Tarnwick", MB_OK | MB_ICONERROR);
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

HRESULT TMainWindow::OnController(HRESULT result, ICoreWebView2Controller* controller) {
    if (close_.Closing())
        return S_OK;
    if (FAILED(result) || !controller) {
        Fail(L"无法创建浏览器窗口。");
        return S_OK;
    }
    controller_ = TComPtr<ICoreWebView2Controller>(controller, true);
    controller->get_CoreWebView2(webview_.put());
    RECT client;
    GetClientRect(window_, &client);
    controller->put_Bounds(client);

    TComPtr<ICoreWebView2Settings> settings;
    webview_->get_Settings(settings.put());
    if (settings) {
        settings->put_AreDefaultScriptDialogsEnabled(FALSE); // the bridge answers native_get_channel
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
        if (auto s2 = settings.As<ICoreWebView2Settings2>(IID_ICoreWebView2Settings2)) {
            const std::string agent =
                ComposeUserAgent(OsPartOfUserAgent(), Narrow(runtime_.version), TARNWICK_VERSION_TEXT);
            s2->put_UserAgent(Wide(agent).c_str());
        }
    }
    bridge_.Attach(webview_.get());

    EventRegistrationToken token;
    // No new windows: links with a new-window target and window.open leave the page as it is.
    webview_->add_NewWindowRequested(
        Callback<ICoreWebView2NewWindowRequestedEventHandler>(
            IID_ICoreWebView2NewWindowRequestedEventHandler,
            [](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* a) { return a->put_Handled(TRUE); })
            .get(),
        &token);
    webview_->add_NavigationCompleted(Callback<ICoreWebView2NavigationCompletedEventHandler>(
                                          IID_ICoreWebView2NavigationCompletedEventHandler,
                                          [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* a) {
                                              OnNavigationCompleted(a);
                                              return S_OK;
                                          })
                                          .get(),
                                      &token);
    // Only an editable field keeps its menu.
    if (auto w11 = webview_.As<ICoreWebView2_11>(IID_ICoreWebView2_11)) {
        w11->add_ContextMenuRequested(
            Callback<ICoreWebView2ContextMenuRequestedEventHandler>(
                IID_ICoreWebView2ContextMenuRequestedEventHandler,
                [](ICoreWebView2*, ICoreWebView2ContextMenuRequestedEventArgs* a) {
                    TComPtr<ICoreWebView2ContextMenuTarget> target;
                    BOOL editable = FALSE;
                    if (SUCCEEDED(a->get_ContextMenuTarget(target.put())) && target)
                        target->get_IsEditable(&editable);
                    return editable ? S_OK : a->put_Handled(TRUE);
                })
                .get(),
            &token);
    }
    // The start address names no drive or folder: the working folder's launcherui\index.html.
    wchar_t cwd[MAX_PATH * 4];
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(std::size(cwd)), cwd);
    std::wstring start(cwd, n);
    if (!start.empty() && start.back() != L'\\')
        start += L'\\';
    webview_->Navigate(FileUrl(start + L"launcherui\\index.html").c_str());
    // The browser exists: the update worker may start.
    PostMessage(MSG_START_UPDATE);
    return S_OK;
}

void TMainWindow::OnNavigationCompleted(ICoreWebView2NavigationCompletedEventArgs* args) {
    BOOL ok = FALSE;
    args->get_IsSuccess(&ok);
    if (!ok) {
        COREWEBVIEW2_WEB_ERROR_STATUS status{};
        args->get_WebErrorStatus(&status);
        if (status == COREWEBVIEW2_WEB_ERROR_STATUS_OPERATION_CANCELED || loadErrorShown_ || close_.Closing())
            return;
        loadErrorShown_ = true;
        Box(kLoadErrorText);
        PostMessageW(window_, WM_CLOSE, 0, 0);
        return;
    }
    // A document that loaded late is told what the worker has said so far, once.
    if (!notices_.AnySent())
        return;
    bridge_.RunInMainFrame(kTimeOriginScript, [this](std::optional<double> document) {
        if (!document)
            return;
        for (TPageNotices::Kind k : notices_.Missed(*document))
            k == TPageNotices::Status ? lbl_Msg() : lbl_Start_Game();
    });
}

void TMainWindow::Dispatched(const PageMessage& message) {
    const DispatchResult r = Dispatch(message);
    if (!r.handled)
        return;
    if (r.command != WindowCommand::None) {
        RunWindowCommand(window_, r.command);
        return;
    }
    if (r.post) {
        commands_.push_back(r);
        PostMessageW(window_, static_cast<UINT>(r.post), 0, 0);
    }
}

void TMainWindow::Box(const std::string& text) {
    MessageBoxW(IsWindowVisible(window_) ? window_ : nullptr, Wide(text).c_str(), Wide(kBoxCaption).c_str(),
                MB_OK | MB_ICONERROR);
}

void TMainWindow::CloseBrowser() {
    // A forced close: the page gets no chance to object.
    bridge_.Detach();
    if (controller_)
        controller_->Close();
    webview_ = {};
    controller_ = {};
    environment_ = {};
    close_.BrowserGone();
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK TMainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<TMainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    LRESULT result = 0;
    if (FrameMessage(window, message, wParam, lParam, &result) && message != WM_SIZE)
        return result;
    auto* self = reinterpret_cast<TMainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return message == WM_SIZE ? result : DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_SIZE) {
        self->Handle(message, wParam, lParam);
        return result;
    }
    return self->Handle(message, wParam, lParam);
}

LRESULT TMainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsPageCommand(message)) {
        DispatchResult command;
        command.post = static_cast<int>(message);
        if (!commands_.empty() && commands_.front().post == command.post) {
            command = commands_.front();
            commands_.pop_front();
        }
        // As the main loop would: an error inside a handler is shown, and the loop goes on.
        try {
            if (auto text = RunPageCommand(*this, Narrow(programFolder_), command))
                Box(*text);
        } catch (const std::exception& e) {
            Box(e.what());
        } catch (...) {
            Box("未知错误");
        }
        return 0;
    }
    switch (message) {
    case MSG_START_UPDATE:
        if (!updateStarted_) {
            updateStarted_ = true;
            TDownSpy::Start(*this, TAnswerVerifier(signingKey_), Narrow(programFolder_));
        }
        return 0;
    case kMsgSynchronize:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    case WM_SIZE:
        if (controller_) {
            RECT client;
            GetClientRect(window_, &client);
            controller_->put_Bounds(client);
        }
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = POINT{kMinWidth, kMinHeight};
        return 0;
    }
    case WM_QUERYENDSESSION:
        // Refused the first time; the launcher closes itself in order.
        if (close_.CanClose())
            return TRUE;
        PostMessageW(window_, WM_CLOSE, 0, 0);
        return FALSE;
    case WM_CLOSE: {
        const auto answer = close_.Query(static_cast<bool>(controller_));
        if (answer.closeBrowser) {
            ShowWindow(window_, SW_HIDE);
            CloseBrowser();
            return 0;
        }
        if (answer.close)
            DestroyWindow(window_);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void TMainWindow::Synchronize(const std::function<void()>& fn) {
    if (destroyed_)
        return;
    if (GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId()) {
        fn();
        return;
    }
    std::exception_ptr error;
    const std::function<void()> guarded = [&] {
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
    };
    SendMessageW(window_, kMsgSynchronize, 0, reinterpret_cast<LPARAM>(&guarded));
    if (error)
        std::rethrow_exception(error);
}

void TMainWindow::PostMessage(int message) {
    PostMessageW(window_, static_cast<UINT>(message), 0, 0);
}

void TMainWindow::Notice(TPageNotices::Kind kind, const std::string& script) {
    bridge_.RunInMainFrame(notices_.Send(kind, script),
                           [this, kind](std::optional<double> document) { notices_.Taken(kind, document); });
}

void TMainWindow::lbl_Msg() {
    Notice(TPageNotices::Status, LblMsgScript(h_LblMsg));
}
void TMainWindow::lbl_Start_Game() {
    Notice(TPageNotices::StartGame, LblStartGameScript());
}
void TMainWindow::lbl_Down_Addon() {
    bridge_.RunInMainFrame(LblDownAddonScript(h_LblAddonMsg));
}
void TMainWindow::lbl_Addon_End() {
    bridge_.RunInMainFrame(LblAddonEndScript());
}

void TMainWindow::LoadURL(const std::string& url) {
    // Only a web page takes the window's place; the site it names is trusted from now on.
    if (!webview_ || !IsHttpUrl(url))
        return;
    calls_.SetHomePage(url);
    webview_->Navigate(Wide(url).c_str());
}

void TMainWindow::FormDestroy() {
    if (destroyed_.exchange(true))
        return;
    // The update worker is let go of (it frees itself); the downloaders this launcher started
    // are asked to stop, killed after 5 s.
    StopOurAria2Processes(Narrow(programFolder_) + "down\\", std::chrono::seconds(5));
}

} // namespace tw::win
