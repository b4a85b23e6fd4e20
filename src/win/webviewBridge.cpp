#include "win/webviewBridge.h"

#include "platform/win32_util.h"
#include "win/native_functions_js.h"

#include <cwchar>

namespace tw::win {

namespace {

using platform::win32::Narrow;
using platform::win32::Wide;

const std::string kMarker = kNativeCallMarker;

} // namespace

TWebViewBridge::TWebViewBridge(TPageCalls& calls, Sink sink, OtherDialog otherDialog)
    : calls_(calls), sink_(std::move(sink)), otherDialog_(std::move(otherDialog)) {}

TWebViewBridge::~TWebViewBridge() {
    Detach();
}

HRESULT TWebViewBridge::Attach(ICoreWebView2* webview) {
    webview_ = TComPtr<ICoreWebView2>(webview, true);
    // Before any page script, in every frame the engine puts it in.
    HRESULT hr = webview->AddScriptToExecuteOnDocumentCreated(Wide(kNativeFunctionsJs).c_str(), nullptr);
    if (FAILED(hr))
        return hr;
    hr = webview->add_WebMessageReceived(
        Callback<ICoreWebView2WebMessageReceivedEventHandler>(
            IID_ICoreWebView2WebMessageReceivedEventHandler,
            [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) { return OnMessage(kMainFrame, args); })
            .get(),
        &messageToken_);
    if (FAILED(hr))
        return hr;
    hr = webview->add_ScriptDialogOpening(
        Callback<ICoreWebView2ScriptDialogOpeningEventHandler>(
            IID_ICoreWebView2ScriptDialogOpeningEventHandler,
            [this](ICoreWebView2*, ICoreWebView2ScriptDialogOpeningEventArgs* args) { return OnScriptDialog(args); })
            .get(),
        &dialogToken_);
    if (FAILED(hr))
        return hr;
    // Without frame events (a runtime before 1.0.1108) no inner frame is followed, and so none
    // may call.
    if (auto w4 = webview_.As<ICoreWebView2_4>(IID_ICoreWebView2_4)) {
        w4->add_FrameCreated(Callback<ICoreWebView2FrameCreatedEventHandler>(
                                 IID_ICoreWebView2FrameCreatedEventHandler,
                                 [this](ICoreWebView2*, ICoreWebView2FrameCreatedEventArgs* args) {
                                     return OnFrameCreated(args);
                                 })
                                 .get(),
                             &frameToken_);
    }
    return S_OK;
}

void TWebViewBridge::Detach() {
    for (auto& [raw, f] : frames_) {
        if (auto f2 = f.frame.As<ICoreWebView2Frame2>(IID_ICoreWebView2Frame2))
            f2->remove_WebMessageReceived(f.message);
        f.frame->remove_Destroyed(f.destroyed);
    }
    frames_.clear();
    if (!webview_)
        return;
    webview_->remove_WebMessageReceived(messageToken_);
    webview_->remove_ScriptDialogOpening(dialogToken_);
    if (auto w4 = webview_.As<ICoreWebView2_4>(IID_ICoreWebView2_4))
        w4->remove_FrameCreated(frameToken_);
    webview_ = {};
}

std::string TWebViewBridge::MainDocumentUrl() const {
    LPWSTR uri = nullptr;
    if (!webview_ || FAILED(webview_->get_Source(&uri)))
        return {};
    return Narrow(TakeString(uri));
}

HRESULT TWebViewBridge::OnFrameCreated(ICoreWebView2FrameCreatedEventArgs* args) {
    TComPtr<ICoreWebView2Frame> frame;
    if (!args || FAILED(args->get_Frame(frame.put())) || !frame)
        return S_OK;
    auto f2 = frame.As<ICoreWebView2Frame2>(IID_ICoreWebView2Frame2);
    if (!f2)
        return S_OK; // no per-frame messages: the frame stays unfollowed, and mute
    ICoreWebView2Frame* raw = frame.get();
    Followed followed{frame, {}, {}};
    f2->add_WebMessageReceived(Callback<ICoreWebView2FrameWebMessageReceivedEventHandler>(
                                   IID_ICoreWebView2FrameWebMessageReceivedEventHandler,
                                   [this](ICoreWebView2Frame* sender, ICoreWebView2WebMessageReceivedEventArgs* a) {
                                       // A frame that was never followed, or has gone, gets nothing.
                                       if (!sender || frames_.find(sender) == frames_.end())
                                           return S_OK;
                                       return OnMessage(sender, a);
                                   })
                                   .get(),
                               &followed.message);
    frame->add_Destroyed(Callback<ICoreWebView2FrameDestroyedEventHandler>(
                             IID_ICoreWebView2FrameDestroyedEventHandler,
                             [this, raw](ICoreWebView2Frame*, IUnknown*) {
                                 auto it = frames_.find(raw);
                                 if (it != frames_.end()) {
                                     if (auto g = it->second.frame.As<ICoreWebView2Frame2>(IID_ICoreWebView2Frame2))
                                         g->remove_WebMessageReceived(it->second.message);
                                     it->second.frame->remove_Destroyed(it->second.destroyed);
                                     frames_.erase(it);
                                 }
                                 return S_OK;
                             })
                             .get(),
                         &followed.destroyed);
    frames_[raw] = std::move(followed);
    return S_OK;
}

HRESULT TWebViewBridge::OnMessage(ICoreWebView2Frame*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (!args)
        return S_OK;
    LPWSTR text = nullptr;
    if (FAILED(args->TryGetWebMessageAsString(&text)))
        return S_OK;
    const std::string message = Narrow(TakeString(text));
    if (message.compare(0, kMarker.size(), kMarker) != 0)
        return S_OK;
    LPWSTR source = nullptr;
    if (FAILED(args->get_Source(&source)))
        return S_OK;
    // The engine's own word for the sending document.
    const std::string frameUrl = Narrow(TakeString(source));
    CallAnswer answer = calls_.Answer(MainDocumentUrl(), frameUrl, message.substr(kMarker.size()));
    if (answer.accept && answer.accept->name != "native_get_channel" && sink_)
        sink_(*answer.accept);
    return S_OK;
}

HRESULT TWebViewBridge::OnScriptDialog(ICoreWebView2ScriptDialogOpeningEventArgs* args) {
    if (!args)
        return S_OK;
    COREWEBVIEW2_SCRIPT_DIALOG_KIND kind{};
    LPWSTR message = nullptr;
    args->get_Kind(&kind);
    args->get_Message(&message);
    const std::wstring text = TakeString(message);
    if (kind != COREWEBVIEW2_SCRIPT_DIALOG_KIND_PROMPT || text != Wide(kMarker)) {
        if (otherDialog_)
            otherDialog_(args);
        return S_OK;
    }
    LPWSTR uri = nullptr, value = nullptr;
    args->get_Uri(&uri);
    args->get_DefaultText(&value);
    const std::string frameUrl = Narrow(TakeString(uri));
    const std::string call = Narrow(TakeString(value));
    // Answered at once, so that native_get_channel returns its value to the caller. Only the
    // channel travels this way; a trusted frame's other calls are carried out all the same.
    CallAnswer answer = calls_.Answer(MainDocumentUrl(), frameUrl, call);
    args->put_ResultText(Wide(answer.result).c_str());
    args->Accept();
    if (answer.accept && sink_)
        sink_(*answer.accept);
    return S_OK;
}

void TWebViewBridge::RunInMainFrame(const std::string& script, std::function<void(std::optional<double>)> done) {
    // Dropped while no browser is up, and while the main frame shows a document that is not
    // trusted.
    if (!webview_ || !calls_.TrustsDocument(MainDocumentUrl())) {
        if (done)
            done(std::nullopt);
        return;
    }
    webview_->ExecuteScript(Wide(script).c_str(),
                            Callback<ICoreWebView2ExecuteScriptCompletedHandler>(
                                IID_ICoreWebView2ExecuteScriptCompletedHandler,
                                [done](HRESULT hr, LPCWSTR json) {
                                    if (!done)
                                        return S_OK;
                                    // A number, or "null" when the script failed.
                                    wchar_t* end = nullptr;
                                    const double v = (SUCCEEDED(hr) && json) ? std::wcstod(json, &end) : 0;
                                    done(end && end != json && *end == L'\0' ? std::optional<double>(v) : std::nullopt);
                                    return S_OK;
                                })
                                .get());
}

} // namespace tw::win
