// The Windows launcher as far as Wine can run it (Wine has no WebView2 runtime): its start-up
// rules, its frame on a real window, and its page bridge against stand-ins of the engine.
#include "base/pagetext.h"
#include "platform/win32_util.h"
#include "bridge/pageCalls.h"
#include "test_support.h"
#include "webview2_standins.h"
#include "win/frameWindow.h"
#include "win/runtime.h"
#include "win/webviewBridge.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace tw::win {
namespace {

using test::TempFolder;
using test::WaitUntil;
using namespace std::chrono_literals;

std::wstring W(const std::string& s) {
    return platform::win32::Wide(s);
}

std::string Folder(const std::string& path) {
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::string OwnFolder() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return Folder(platform::win32::Narrow(self));
}

// ---- start-up ----

struct Launched {
    PROCESS_INFORMATION pi{};
    ~Launched() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    DWORD Wait() {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0)
            return 0xFFFFFFFF;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
};

void Launch(Launched& l, const std::string& folder, const std::string& arguments) {
    std::wstring line = L"\"" + W(folder + "launcher.exe") + L"\" " + W(arguments);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, W(folder).c_str(), &si, &l.pi));
}

struct WindowSearch {
    DWORD pid;
    const wchar_t* cls;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND w, LPARAM p) {
    auto* search = reinterpret_cast<WindowSearch*>(p);
    DWORD owner = 0;
    wchar_t cls[64] = {};
    GetWindowThreadProcessId(w, &owner);
    GetClassNameW(w, cls, 64);
    if (owner == search->pid && IsWindowVisible(w) && std::wstring(cls) == search->cls)
        search->found.push_back(w);
    return TRUE;
}

// The visible top-level windows of process `pid` whose class is `className`.
std::vector<HWND> WindowsOf(DWORD pid, const wchar_t* className) {
    WindowSearch s{pid, className, {}};
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// The text of the message box that process `pid` shows, once it shows one.
std::wstring BoxText(DWORD pid, HWND* box) {
    std::vector<HWND> boxes;
    WaitUntil([&] { return !(boxes = WindowsOf(pid, L"#32770")).empty(); }, 60s);
    if (boxes.empty())
        return {};
    *box = boxes[0];
    wchar_t text[2048] = {};
    GetDlgItemTextW(*box, 0xFFFF, text, 2048);
    return text;
}

TEST(WinStartUp, WithoutRuntimeTheBoxSaysWhatToInstallAndASecondStartEndsAtOnce) {
    struct Case {
        bool loader;
        const wchar_t* says;
    } cases[] = {{true, L"WebView2 运行时"}, {false, L"WebView2Loader.dll"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loader ? "with the loader" : "without the loader");
        TempFolder folder("tw-launcher");
        ASSERT_TRUE(CopyFileW(W(OwnFolder() + "..\\src\\win\\launcher.exe").c_str(), W(folder / "launcher.exe").c_str(), FALSE));
        if (c.loader) {
            ASSERT_TRUE(CopyFileW(W(OwnFolder() + "..\\src\\win\\WebView2Loader.dll").c_str(),
                                  W(folder / "WebView2Loader.dll").c_str(), FALSE));
        }
        Launched first;
        Launch(first, folder.Path(), "");
        HWND box = nullptr;
        const std::wstring text = BoxText(first.pi.dwProcessId, &box);
        EXPECT_NE(text.find(L"缺少运行时文件"), std::wstring::npos);
        EXPECT_NE(text.find(c.says), std::wstring::npos);
        EXPECT_TRUE(WindowsOf(first.pi.dwProcessId, kFrameClassName).empty());

        // While the first runs: one argument ends at once without a box; two go on.
        Launched second, third;
        Launch(second, folder.Path(), "one");
        EXPECT_EQ(second.Wait(), 0u);
        Launch(third, folder.Path(), "one two");
        HWND thirdBox = nullptr;
        EXPECT_FALSE(BoxText(third.pi.dwProcessId, &thirdBox).empty());
        PostMessageW(thirdBox, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(third.Wait(), 0u);

        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(first.Wait(), 0u);
    }
}

// ---- the frame ----

struct FrameWindow {
    HWND hwnd = nullptr;
    static inline int closes = 0;
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        LRESULT r = 0;
        if (FrameMessage(w, m, wp, lp, &r))
            return r;
        if (m == WM_CLOSE) {
            ++closes;
            return 0;
        }
        return DefWindowProcW(w, m, wp, lp);
    }
    FrameWindow() {
        RegisterFrameClass(GetModuleHandleW(nullptr), &Proc);
        hwnd = CreateWindowExW(0, kFrameClassName, L"Tarnwick", FrameStyle(), 100, 80, 1024, 720, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        ShowWindow(hwnd, SW_SHOW);
        Pump();
    }
    ~FrameWindow() { DestroyWindow(hwnd); }
    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    LRESULT Hit(int x, int y) { return SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(x, y)); }
};

TEST(WinFrame, EdgeBandsOnARealWindowAndNoCaptionAnywhere) {
    FrameWindow f;
    ASSERT_TRUE(f.hwnd);
    for (const POINT at : {POINT{100, 80}, POINT{-1500, 80}}) { // also left of the primary monitor
        SetWindowPos(f.hwnd, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        RECT r;
        GetWindowRect(f.hwnd, &r);
        const int L = r.left, T = r.top, W_ = r.right - r.left, H = r.bottom - r.top;
        SCOPED_TRACE(L);
        struct Case {
            int x, y;
            LRESULT hit;
        } cases[] = {
            {L, T, HTTOPLEFT},          {L + 4, T + 300, HTLEFT},         {L + 5, T + 300, HTCLIENT},
            {L + W_ - 4, T + 300, HTRIGHT}, {L + W_ - 5, T + 300, HTCLIENT},  {L + W_ - 1, T, HTRIGHT},
            {L + 500, T + 4, HTTOP},    {L + 500, T + H - 4, HTBOTTOM},   {L, T + H - 1, HTBOTTOMLEFT},
            {L + W_ - 1, T + H - 1, HTBOTTOMRIGHT}, {L + 500, T + 300, HTCLIENT},
        };
        for (const Case& c : cases)
            EXPECT_EQ(f.Hit(c.x, c.y), c.hit) << c.x - L << "," << c.y - T;
        RECT client;
        GetClientRect(f.hwnd, &client);
        EXPECT_EQ(client.right, W_ - 2);
        EXPECT_EQ(client.bottom, H - 2);
    }
    // The caption stays what it was at creation.
    SetWindowTextW(f.hwnd, L"other");
    wchar_t text[32] = {};
    GetWindowTextW(f.hwnd, text, 32);
    EXPECT_STREQ(text, L"Tarnwick");
}

TEST(WinFrame, WindowCommandsMinimiseMaximiseRestoreAndClose) {
    FrameWindow f;
    RunWindowCommand(f.hwnd, WindowCommand::Minimize);
    f.Pump();
    EXPECT_TRUE(IsIconic(f.hwnd));
    ShowWindow(f.hwnd, SW_RESTORE);
    f.Pump();
    RunWindowCommand(f.hwnd, WindowCommand::MaximizeOrRestore);
    f.Pump();
    ASSERT_TRUE(IsZoomed(f.hwnd));
    // Maximised, the client area is the monitor's work area and nothing more.
    RECT client, work;
    GetClientRect(f.hwnd, &client);
    MapWindowPoints(f.hwnd, nullptr, reinterpret_cast<POINT*>(&client), 2);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(f.hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    work = mi.rcWork;
    EXPECT_TRUE(EqualRect(&client, &work));
    RunWindowCommand(f.hwnd, WindowCommand::MaximizeOrRestore);
    f.Pump();
    EXPECT_FALSE(IsZoomed(f.hwnd));
    const int before = FrameWindow::closes;
    RunWindowCommand(f.hwnd, WindowCommand::Close);
    f.Pump();
    EXPECT_EQ(FrameWindow::closes, before + 1);
}

// ---- the bridge, against stand-ins of the engine ----

LPWSTR Dup(const std::wstring& s) {
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(wchar_t)));
    std::wmemcpy(p, s.c_str(), s.size() + 1);
    return p;
}

template <class Base>
struct Counted : Base {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; } // on the test's stack
};

struct MessageArgs : Counted<test::standin::ICoreWebView2WebMessageReceivedEventArgs> {
    std::wstring source, text;
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* v) override { return *v = Dup(source), S_OK; }
    HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* v) override { return *v = Dup(text), S_OK; }
};

struct DialogArgs : Counted<test::standin::ICoreWebView2ScriptDialogOpeningEventArgs> {
    std::wstring uri, message, value, result;
    bool accepted = false;
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* v) override { return *v = Dup(uri), S_OK; }
    HRESULT STDMETHODCALLTYPE get_Kind(COREWEBVIEW2_SCRIPT_DIALOG_KIND* k) override {
        return *k = COREWEBVIEW2_SCRIPT_DIALOG_KIND_PROMPT, S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Message(LPWSTR* v) override { return *v = Dup(message), S_OK; }
    HRESULT STDMETHODCALLTYPE get_DefaultText(LPWSTR* v) override { return *v = Dup(value), S_OK; }
    HRESULT STDMETHODCALLTYPE put_ResultText(LPCWSTR v) override { return result = v, S_OK; }
    HRESULT STDMETHODCALLTYPE Accept() override { return accepted = true, S_OK; }
};

struct Frame : test::standin::ICoreWebView2Frame2 {
    ULONG refs = 1;
    TComPtr<ICoreWebView2FrameWebMessageReceivedEventHandler> onMessage;
    TComPtr<ICoreWebView2FrameDestroyedEventHandler> onDestroyed;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_ICoreWebView2Frame) || IsEqualIID(iid, IID_ICoreWebView2Frame2) ||
            IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<::ICoreWebView2Frame2*>(this);
            AddRef();
            return S_OK;
        }
        return *out = nullptr, E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2FrameWebMessageReceivedEventHandler* h,
                                                     EventRegistrationToken*) override {
        onMessage = TComPtr<ICoreWebView2FrameWebMessageReceivedEventHandler>(h, true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(EventRegistrationToken) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE add_Destroyed(ICoreWebView2FrameDestroyedEventHandler* h, EventRegistrationToken*) override {
        onDestroyed = TComPtr<ICoreWebView2FrameDestroyedEventHandler>(h, true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_Destroyed(EventRegistrationToken) override { return S_OK; }
};

struct FrameCreatedArgs : Counted<test::standin::ICoreWebView2FrameCreatedEventArgs> {
    ::ICoreWebView2Frame* frame = nullptr;
    HRESULT STDMETHODCALLTYPE get_Frame(::ICoreWebView2Frame** out) override {
        frame->AddRef();
        return *out = frame, S_OK;
    }
};

struct WebView : test::standin::ICoreWebView2_4 {
    ULONG refs = 1;
    std::wstring source;
    std::vector<std::wstring> injected, executed;
    TComPtr<ICoreWebView2WebMessageReceivedEventHandler> onMessage;
    TComPtr<ICoreWebView2ScriptDialogOpeningEventHandler> onDialog;
    TComPtr<ICoreWebView2FrameCreatedEventHandler> onFrame;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        for (const IID* i : {&IID_IUnknown, &IID_ICoreWebView2, &IID_ICoreWebView2_2, &IID_ICoreWebView2_3, &IID_ICoreWebView2_4})
            if (IsEqualIID(iid, *i)) {
                *out = static_cast<::ICoreWebView2_4*>(this);
                AddRef();
                return S_OK;
            }
        return *out = nullptr, E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* v) override { return *v = Dup(source), S_OK; }
    HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(LPCWSTR s, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler*) override {
        return injected.emplace_back(s), S_OK;
    }
    HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR s, ICoreWebView2ExecuteScriptCompletedHandler* h) override {
        executed.emplace_back(s);
        return h ? h->Invoke(S_OK, L"1234.5") : S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* h, EventRegistrationToken*) override {
        onMessage = TComPtr<ICoreWebView2WebMessageReceivedEventHandler>(h, true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(EventRegistrationToken) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE add_ScriptDialogOpening(ICoreWebView2ScriptDialogOpeningEventHandler* h, EventRegistrationToken*) override {
        onDialog = TComPtr<ICoreWebView2ScriptDialogOpeningEventHandler>(h, true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(EventRegistrationToken) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE add_FrameCreated(ICoreWebView2FrameCreatedEventHandler* h, EventRegistrationToken*) override {
        onFrame = TComPtr<ICoreWebView2FrameCreatedEventHandler>(h, true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE remove_FrameCreated(EventRegistrationToken) override { return S_OK; }
};

class WinBridge : public ::testing::Test {
protected:
    WinBridge()
        : calls(folder.Path(), "https://trusted.example", false, true),
          bridge(calls, [this](const PageMessage& m) { received.push_back(m.name); }) {
        test::WriteBytes(folder / "launcherui\\index.html", "<html></html>");
        test::WriteBytes(folder / "cfg.ini", "[channel]\r\nID=c042\r\n");
        ui = FileUrl(W(folder / "launcherui\\index.html"));
        EXPECT_EQ(bridge.Attach(&view), S_OK);
    }
    void FromMain(const std::wstring& source, const std::string& name) {
        MessageArgs a;
        a.source = source;
        a.text = W(std::string(kNativeCallMarker) + R"({"name":")" + name + R"(","args":[]})");
        view.onMessage->Invoke(&view, &a);
    }
    void FromFrame(Frame& f, const std::wstring& source, const std::string& name) {
        MessageArgs a;
        a.source = source;
        a.text = W(std::string(kNativeCallMarker) + R"({"name":")" + name + R"(","args":[]})");
        f.onMessage->Invoke(&f, &a);
    }
    void Create(Frame& f) {
        FrameCreatedArgs a;
        a.frame = &f;
        view.onFrame->Invoke(&view, &a);
    }
    TempFolder folder{"tw-bridge"};
    TPageCalls calls;
    WebView view;
    TWebViewBridge bridge;
    std::vector<std::string> received;
    std::wstring ui;
};

TEST_F(WinBridge, CallsReachTheDispatchOnlyFromTrustedFollowedFrames) {
    ASSERT_EQ(view.injected.size(), 1u);
    EXPECT_NE(view.injected[0].find(L"native_get_channel"), std::wstring::npos);
    Frame trusted, foreign, gone, stranger;
    Create(trusted);
    Create(foreign);
    Create(gone);
    gone.onDestroyed->Invoke(&gone, nullptr);
    stranger.onMessage = trusted.onMessage; // a frame the bridge never followed, on the same handler
    const std::wstring web = L"https://trusted.example/page";
    const std::wstring evil = L"https://evil.example/page";
    struct Case {
        const char* what;
        std::wstring main;
        Frame* frame; // null: the top document
        std::wstring source;
        bool reaches;
    } cases[] = {
        {"local UI page", ui, nullptr, ui, true},
        {"listed origin", web, nullptr, web, true},
        {"foreign page", evil, nullptr, evil, false},
        {"trusted frame in the UI page", ui, &trusted, web, true},
        {"foreign frame in the UI page", ui, &foreign, evil, false},
        {"trusted frame in a foreign page", evil, &trusted, web, false},
        {"frame gone", ui, &gone, ui, false},
        {"frame never followed", ui, &stranger, ui, false},
        {"file beside the UI folder", FileUrl(W(folder / "other.html")), nullptr, FileUrl(W(folder / "other.html")), false},
    };
    for (const Case& c : cases) {
        received.clear();
        view.source = c.main;
        if (c.frame)
            FromFrame(*c.frame, c.source, "native_start_game");
        else
            FromMain(c.source, "native_start_game");
        EXPECT_EQ(received.size(), c.reaches ? 1u : 0u) << c.what;
    }
    EXPECT_EQ(bridge.FollowedFrames(), 2u);
}

TEST_F(WinBridge, TheChannelIsAnsweredAtOnceAndOnlyToTrustedDocuments) {
    struct Case {
        std::wstring uri;
        std::wstring answer;
    } cases[] = {{ui, L"c042"}, {L"https://evil.example/", L"x001"}};
    for (const Case& c : cases) {
        view.source = ui;
        DialogArgs a;
        a.uri = c.uri;
        a.message = W(kNativeCallMarker);
        a.value = LR"({"name":"native_get_channel","args":[]})";
        view.onDialog->Invoke(&view, &a);
        EXPECT_TRUE(a.accepted);
        EXPECT_EQ(a.result, c.answer);
    }
    EXPECT_TRUE(received.empty());
}

TEST_F(WinBridge, NotificationsRunInTrustedDocumentsOnly) {
    view.source = ui;
    std::optional<double> took;
    bridge.RunInMainFrame(LblMsgScript("正在检查更新"), [&](std::optional<double> d) { took = d; });
    bridge.RunInMainFrame(LblStartGameScript());
    ASSERT_EQ(view.executed.size(), 2u);
    EXPECT_EQ(view.executed[0], LR"(window.lblmsg("正在检查更新"))");
    EXPECT_EQ(view.executed[1], L"window.lblstartgame()");
    EXPECT_EQ(took, 1234.5);
    view.source = L"https://evil.example/";
    bridge.RunInMainFrame(LblAddonEndScript());
    EXPECT_EQ(view.executed.size(), 2u);
}

} // namespace
} // namespace tw::win
