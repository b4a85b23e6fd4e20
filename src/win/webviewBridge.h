#pragma once
// The page bridge on WebView2: injects the page's native functions into every frame, takes their
// calls as the engine delivers them, and runs the page notifications. Which document and frame
// made a call is what the engine reports (the message's or dialog's source address, the frame
// object it came through), never what the page says. Frames are followed as the engine creates
// them; a call through a frame that is not followed is refused. Main (window) thread only.
#include "bridge/pageCalls.h"
#include "win/com.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tw::win {

class TWebViewBridge {
public:
    using Sink = std::function<void(const PageMessage&)>;
    // A script dialog that is no native call (alert, confirm, a page's own prompt).
    using OtherDialog = std::function<void(ICoreWebView2ScriptDialogOpeningEventArgs*)>;

    TWebViewBridge(TPageCalls& calls, Sink sink, OtherDialog otherDialog = {});
    ~TWebViewBridge();

    // Injects the functions and follows the engine's events. The engine's default script dialogs
    // must be off (the host's settings), or native_get_channel gets no answer.
    HRESULT Attach(ICoreWebView2* webview);
    void Detach();

    // Runs `script` in the main frame when the document there is trusted; `done` gets the
    // script's numeric result, or nothing when it failed or was dropped.
    void RunInMainFrame(const std::string& script, std::function<void(std::optional<double>)> done = {});
    std::string MainDocumentUrl() const;
    std::size_t FollowedFrames() const { return frames_.size(); }

private:
    HRESULT OnMessage(ICoreWebView2Frame* frame, ICoreWebView2WebMessageReceivedEventArgs* args);
    HRESULT OnFrameCreated(ICoreWebView2FrameCreatedEventArgs* args);
    HRESULT OnScriptDialog(ICoreWebView2ScriptDialogOpeningEventArgs* args);

    TPageCalls& calls_;
    Sink sink_;
    OtherDialog otherDialog_;
    TComPtr<ICoreWebView2> webview_;
    EventRegistrationToken messageToken_{}, frameToken_{}, dialogToken_{};
    struct Followed {
        TComPtr<ICoreWebView2Frame> frame;
        EventRegistrationToken message{}, destroyed{};
    };
    std::map<ICoreWebView2Frame*, Followed> frames_;
};

// The frame whose messages are the top document's own (the main frame has no frame object).
inline ICoreWebView2Frame* const kMainFrame = nullptr;

} // namespace tw::win
